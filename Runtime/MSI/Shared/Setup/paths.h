// Path helpers for Windows paths held as wide text. Pure text operations:
// nothing here touches the file system.
#pragma once

#include <string>
#include <string_view>

namespace ov::path {

// Joins two parts with exactly one backslash between them.
[[nodiscard]] std::wstring join(std::wstring_view first, std::wstring_view second);
// The folder of a path, without trailing backslash ("" when there is none).
[[nodiscard]] std::wstring folder_of(std::wstring_view path);
// The file name: the text after the last backslash or slash.
[[nodiscard]] std::wstring file_name_of(std::wstring_view path);
// The file name of a URL: the text after its last "/", or after its last
// backslash when it has no "/".
[[nodiscard]] std::wstring url_file_name(std::wstring_view url);
// Removes one leading and one trailing double quote.
[[nodiscard]] std::wstring unquote(std::wstring_view text);
// Removes one trailing backslash.
[[nodiscard]] std::wstring without_trailing_backslash(std::wstring_view path);
// True for "C:\..", "C:/..", "\\server\.." and "\.." paths.
[[nodiscard]] bool is_absolute(std::wstring_view path) noexcept;
// "C:" for a drive path, "" otherwise.
[[nodiscard]] std::wstring drive_of(std::wstring_view path);
// True when `path` is `folder` or lies below it (case-insensitive).
[[nodiscard]] bool is_within(std::wstring_view path, std::wstring_view folder) noexcept;

} // namespace ov::path
