// profilefilex on arbitrary bytes: loading always succeeds, the buffer
// interface never writes past the size it is given and always ends its
// output, and the table survives saving and loading back unchanged.
#include "inifile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

class latin1_storage final : public ov::ini_storage {
public:
    std::uint32_t read_file(const std::wstring&, std::string&) const noexcept override { return 50; }
    std::uint32_t write_file(const std::wstring&, std::string_view, bool) const noexcept override { return 50; }
    std::wstring decode(std::string_view bytes, std::int32_t cp) const override { return ov::latin1_decode(bytes, cp); }
    std::string encode(std::wstring_view text, std::int32_t cp) const override { return ov::latin1_encode(text, cp); }
};

// Reads through the buffer interface into a buffer with guard characters.
void read_guarded(const ov::profilefilex& profile, const wchar_t* section, const wchar_t* key, std::size_t size)
{
    constexpr wchar_t guard = 0xBEEF;
    std::vector<wchar_t> buffer(size + 8, guard);
    (void)profile.get_string(section, key, L"default", buffer.data(), size);
    for (std::size_t i = size; i < buffer.size(); ++i)
        if (buffer[i] != guard)
            __builtin_trap();
    if (size == 0)
        return;
    bool ended = false;
    for (std::size_t i = 0; i < size && !ended; ++i)
        ended = buffer[i] == L'\0';
    if (!ended)
        __builtin_trap();
    // A key list always ends with two zeros within the buffer.
    if (!key && size >= 2) {
        bool double_zero = false;
        for (std::size_t i = 0; i + 1 < size && !double_zero; ++i)
            double_zero = buffer[i] == L'\0' && buffer[i + 1] == L'\0';
        if (!double_zero && profile.has_section(section))
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const latin1_storage storage;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    ov::profilefilex profile(storage);
    if (!profile.load_bytes(bytes))
        __builtin_trap();

    for (const auto& [section, keys] : profile.table()) {
        for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{64}})
            read_guarded(profile, section.c_str(), nullptr, n);
        for (const auto& entry : keys)
            for (const std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{256}})
                read_guarded(profile, section.c_str(), entry.first.c_str(), n);
    }
    read_guarded(profile, L"no such section", nullptr, 4);

    const auto written = profile.save_to_bytes();
    ov::profilefilex again(storage);
    if (!again.load_bytes(written) || again.table() != profile.table() || again.save_to_bytes() != written)
        __builtin_trap();
    return 0;
}
