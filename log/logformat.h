// How a setup log line is laid out. Pure logic, shared with the tests.
#pragma once

#include <string>
#include <string_view>

namespace ov::log {

// "Setup\diskaction.cpp" from a full source path with either separator.
[[nodiscard]] std::wstring source_display_name(std::string_view sourceFile);

// "<date>[<time>]: <message>\r\n", or with source details
// "<date>[<time>]: <message>  --  File: <folder\file>, Line: <n>\r\n".
[[nodiscard]] std::wstring format_line(std::wstring_view date, std::wstring_view time, std::wstring_view message,
                                       bool sourceDetails, std::string_view sourceFile, int line);

// The default log file name.
inline constexpr std::wstring_view default_file_name = L"Orvane.log";

} // namespace ov::log
