#include "ov_string.h"

#include "textdecode.h"

#include <climits>

namespace ov {

wchar_t fold_case(wchar_t c) noexcept
{
    if (c >= L'a' && c <= L'z')
        return static_cast<wchar_t>(c - (L'a' - L'A'));
    // Latin-1 lower-case letters, except the division sign and y-diaeresis.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<wchar_t>(c - 0x20);
    return c;
}

bool iequals(std::wstring_view a, std::wstring_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold_case(a[i]) != fold_case(b[i]))
            return false;
    return true;
}

bool istarts_with(std::wstring_view text, std::wstring_view prefix) noexcept
{
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

bool iends_with(std::wstring_view text, std::wstring_view suffix) noexcept
{
    return text.size() >= suffix.size() && iequals(text.substr(text.size() - suffix.size()), suffix);
}

bool icontains(std::wstring_view text, std::wstring_view part) noexcept
{
    if (part.empty())
        return true;
    for (size_t i = 0; i + part.size() <= text.size(); ++i)
        if (iequals(text.substr(i, part.size()), part))
            return true;
    return false;
}

std::wstring to_upper(std::wstring_view text)
{
    std::wstring out(text);
    for (auto& c : out)
        c = fold_case(c);
    return out;
}

std::wstring trim(std::wstring_view text)
{
    constexpr std::wstring_view blanks = L" \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::wstring_view::npos)
        return {};
    const auto last = text.find_last_not_of(blanks);
    return std::wstring(text.substr(first, last - first + 1));
}

std::vector<std::wstring> split(std::wstring_view text, wchar_t separator)
{
    std::vector<std::wstring> pieces;
    size_t start = 0;
    while (start < text.size()) {
        const auto pos = text.find(separator, start);
        if (pos == std::wstring_view::npos) {
            pieces.emplace_back(text.substr(start));
            return pieces;
        }
        pieces.emplace_back(text.substr(start, pos - start));
        start = pos + 1;
    }
    return pieces;
}

namespace {

int digit_value(wchar_t c) noexcept
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    const wchar_t u = fold_case(c);
    if (u >= L'A' && u <= L'Z')
        return u - L'A' + 10;
    return 99;
}

// Shared scanner for parse_long/parse_ulong: returns magnitude, sign, overflow.
struct scanned {
    unsigned long long magnitude = 0;
    bool negative = false;
    bool overflow = false;
};

scanned scan_number(std::wstring_view text, int base) noexcept
{
    scanned r;
    size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || text[i] == L'\t' || text[i] == L'\r' || text[i] == L'\n'))
        ++i;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        r.negative = text[i] == L'-';
        ++i;
    }
    if ((base == 0 || base == 16) && i + 1 < text.size() && text[i] == L'0' && fold_case(text[i + 1]) == L'X' &&
        i + 2 < text.size() && digit_value(text[i + 2]) < 16) {
        base = 16;
        i += 2;
    } else if (base == 0) {
        base = (i < text.size() && text[i] == L'0') ? 8 : 10;
    }
    for (; i < text.size(); ++i) {
        const int d = digit_value(text[i]);
        if (d >= base)
            break;
        if (r.magnitude > (ULLONG_MAX - static_cast<unsigned>(d)) / static_cast<unsigned>(base))
            r.overflow = true;
        else
            r.magnitude = r.magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    return r;
}

} // namespace

long parse_long(std::wstring_view text, int base) noexcept
{
    const auto r = scan_number(text, base);
    if (r.negative) {
        if (r.overflow || r.magnitude > static_cast<unsigned long long>(LONG_MAX) + 1)
            return LONG_MIN;
        return static_cast<long>(0 - r.magnitude);
    }
    if (r.overflow || r.magnitude > static_cast<unsigned long long>(LONG_MAX))
        return LONG_MAX;
    return static_cast<long>(r.magnitude);
}

unsigned long parse_ulong(std::wstring_view text, int base) noexcept
{
    const auto r = scan_number(text, base);
    if (r.overflow || r.magnitude > ULONG_MAX)
        return ULONG_MAX;
    // Like wcstoul, a minus sign negates in the unsigned type.
    return r.negative ? static_cast<unsigned long>(0 - r.magnitude) : static_cast<unsigned long>(r.magnitude);
}

std::optional<std::int32_t> parse_whole_int32(std::wstring_view text) noexcept
{
    if (text.empty())
        return std::nullopt;
    size_t i = 0;
    bool negative = false;
    if (text[0] == L'+' || text[0] == L'-') {
        negative = text[0] == L'-';
        i = 1;
    }
    if (i == text.size())
        return std::nullopt;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return std::nullopt;
        value = value * 10 + (text[i] - L'0');
        if (value > 2147483648LL)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < INT32_MIN)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::uint16_t parse_language_id(std::wstring_view text) noexcept
{
    if (istarts_with(text, L"0x"))
        return static_cast<std::uint16_t>(parse_ulong(text.substr(2), 16));
    return static_cast<std::uint16_t>(parse_long(text, 10));
}

std::wstring widen(std::string_view text)
{
    std::wstring out;
    out.reserve(text.size());
    for (unsigned char c : text)
        out.push_back(static_cast<wchar_t>(c));
    return out;
}

// The one UTF-8 codec of the library lives with the text decoder.
std::string to_utf8(std::wstring_view text)
{
    return encode_utf8(text);
}

std::wstring from_utf8(std::string_view text)
{
    return decode_utf8(text);
}

} // namespace ov
