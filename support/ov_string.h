// Wide-text helpers shared by the launcher, the authoring tool and their tests.
// Pure logic: no Windows headers, so it builds and is tested natively too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ov {

// Case folding used for option names, INI keys and file names: ASCII and
// Latin-1 letters fold to upper case, everything else compares as is.
wchar_t fold_case(wchar_t c) noexcept;

[[nodiscard]] bool iequals(std::wstring_view a, std::wstring_view b) noexcept;
[[nodiscard]] bool istarts_with(std::wstring_view text, std::wstring_view prefix) noexcept;
[[nodiscard]] bool iends_with(std::wstring_view text, std::wstring_view suffix) noexcept;
[[nodiscard]] bool icontains(std::wstring_view text, std::wstring_view part) noexcept;
[[nodiscard]] std::wstring to_upper(std::wstring_view text);

// Removes blanks, tabs, CR and LF from both ends.
[[nodiscard]] std::wstring trim(std::wstring_view text);

// Splits at every separator, keeping empty pieces; a trailing separator adds
// no empty last piece. An empty text gives no pieces.
[[nodiscard]] std::vector<std::wstring> split(std::wstring_view text, wchar_t separator);

// Reads a language id: hexadecimal after a leading "0x"/"0X", otherwise
// decimal (as far as the text is numeric), kept as 16 bits.
[[nodiscard]] std::uint16_t parse_language_id(std::wstring_view text) noexcept;

// wcstol/wcstoul semantics on a view: leading blanks, optional sign, digits
// as far as they go; no digits gives 0. Out-of-range values saturate.
[[nodiscard]] long parse_long(std::wstring_view text, int base) noexcept;
[[nodiscard]] unsigned long parse_ulong(std::wstring_view text, int base) noexcept;

// A whole-text decimal number within the range of a 32-bit signed integer.
[[nodiscard]] std::optional<std::int32_t> parse_whole_int32(std::wstring_view text) noexcept;

// Widens ASCII/Latin-1 text byte by byte (for literals and diagnostics).
[[nodiscard]] std::wstring widen(std::string_view text);
// UTF-16 code units (as wchar_t) <-> UTF-8, for the native authoring tool.
[[nodiscard]] std::string to_utf8(std::wstring_view text);
[[nodiscard]] std::wstring from_utf8(std::string_view text);

} // namespace ov
