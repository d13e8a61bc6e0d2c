// printf-style formatting of wide text with the Windows conventions: in a
// wide format "%s" takes wide text ("%hs"/"%S" narrow text). The arguments
// are typed, so a format that asks for more or other arguments than given
// (a translated message from a language file, say) can never read past
// them: a missing argument formats as empty text or 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace ov {

class format_arg {
public:
    enum class kind { signed_int, unsigned_int, wide_text, narrow_text, floating, pointer };

    template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T> &&
                                               !std::is_same_v<T, wchar_t> && !std::is_same_v<T, char>,
                                           int> = 0>
    format_arg(T v) noexcept : kind_(kind::signed_int), i_(static_cast<std::int64_t>(v)), bits_(sizeof(T) * 8)
    {
    }
    template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool> &&
                                               !std::is_same_v<T, wchar_t>,
                                           int> = 0>
    format_arg(T v) noexcept : kind_(kind::unsigned_int), u_(static_cast<std::uint64_t>(v)), bits_(sizeof(T) * 8)
    {
    }
    format_arg(bool v) noexcept : kind_(kind::signed_int), i_(v ? 1 : 0), bits_(32) {}
    format_arg(wchar_t v) noexcept : kind_(kind::unsigned_int), u_(static_cast<std::uint64_t>(v)), bits_(16) {}
    format_arg(char v) noexcept : kind_(kind::signed_int), i_(v), bits_(8) {}
    format_arg(double v) noexcept : kind_(kind::floating), d_(v) {}
    format_arg(const wchar_t* s) noexcept
        : kind_(kind::wide_text), w_(s ? std::wstring_view(s) : std::wstring_view(L"(null)"))
    {
    }
    format_arg(const std::wstring& s) noexcept : kind_(kind::wide_text), w_(s) {}
    format_arg(std::wstring_view s) noexcept : kind_(kind::wide_text), w_(s) {}
    format_arg(const char* s) noexcept
        : kind_(kind::narrow_text), n_(s ? std::string_view(s) : std::string_view("(null)"))
    {
    }
    format_arg(const std::string& s) noexcept : kind_(kind::narrow_text), n_(s) {}
    format_arg(const void* p) noexcept
        : kind_(kind::pointer), u_(reinterpret_cast<std::uintptr_t>(p)), bits_(sizeof(void*) * 8)
    {
    }

    kind type() const noexcept { return kind_; }
    std::int64_t as_signed() const noexcept;
    std::uint64_t as_unsigned() const noexcept;
    double as_double() const noexcept;
    std::wstring as_text() const;
    int bits() const noexcept { return bits_; }

private:
    kind kind_;
    std::int64_t i_ = 0;
    std::uint64_t u_ = 0;
    double d_ = 0;
    std::wstring_view w_;
    std::string_view n_;
    int bits_ = 64;
};

// Formats with an array of arguments. Unknown conversions are copied as is.
[[nodiscard]] std::wstring vformat(std::wstring_view format, const format_arg* args, size_t count);

template <typename... Args>
[[nodiscard]] std::wstring format(std::wstring_view fmt, const Args&... args)
{
    if constexpr (sizeof...(Args) == 0) {
        return vformat(fmt, nullptr, 0);
    } else {
        const format_arg list[] = {format_arg(args)...};
        return vformat(fmt, list, sizeof...(Args));
    }
}

// "%1".."%9" inserts, as in FormatMessage texts ("%1 Setup is preparing the %2").
[[nodiscard]] std::wstring format_inserts(std::wstring_view text, const std::wstring* inserts, size_t count);

} // namespace ov
