// The setup log: time-stamped lines appended to a text file when logging is
// on (the /debuglog switch, or DoVerboseLogging=1 under
// HKCU\SOFTWARE\Orvane\17.0\Professional). Each line is opened, appended and
// closed on its own. Nothing about the log ever reaches the user.
#pragma once

#include "ov_format.h"

#include <string>
#include <string_view>

namespace ov::log {

struct source_position {
    const char* file;
    int line;
};

// True when a line may be written (enabled, or the registry not consulted yet).
[[nodiscard]] bool wanted() noexcept;
void log_text(std::wstring_view message, const char* sourceFile, int line) noexcept;

void enable_log() noexcept;
[[nodiscard]] bool is_enabled() noexcept;
void set_log_source_details(bool details) noexcept;
void set_log_file(std::wstring_view path);
[[nodiscard]] std::wstring get_log_file_path();

} // namespace ov::log

#define OV_HERE (::ov::log::source_position{__FILE__, __LINE__})

// The one logging call: the caller's source position, a printf-style wide
// format ("%s" takes wide text) and its arguments. Formats nothing when
// logging is off.
template <typename... Args>
void log_message(::ov::log::source_position where, std::wstring_view format, const Args&... args) noexcept
{
    if (!::ov::log::wanted())
        return;
    try {
        ::ov::log::log_text(::ov::format(format, args...), where.file, where.line);
    } catch (...) {
        // A line that cannot be formatted is lost, like one that cannot be written.
    }
}
