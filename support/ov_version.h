// Version information of files: the fixed file version of a PE file's
// version resource, as the engine and WinInet checks compare it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ov {

// "a.b.c.d" from the two 32-bit halves of a fixed file version ("%u.%u.%u.%u"
// of its four 16-bit parts, most significant first).
[[nodiscard]] std::wstring format_file_version(std::uint32_t versionMs, std::uint32_t versionLs);

// The file version of `path` as "a.b.c.d"; empty when the file cannot be read
// or has no (valid) version resource. A bare file name is looked for the way
// the system's library search finds a DLL.
[[nodiscard]] std::wstring GetFileVersionText(std::wstring_view path);

} // namespace ov
