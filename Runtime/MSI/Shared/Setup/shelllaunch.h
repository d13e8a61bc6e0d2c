// The two ways ShellLaunchAndWait (utils.h) starts a program, apart, so that
// the path taken where Shell32 has no ShellExecuteExW can be run on systems
// that have it.
#pragma once

#include <string_view>

namespace shell_launch {

// ShellLaunchAndWait as it runs where ShellExecuteExW is missing: starts
// "\"file\" parameters" with CreateProcessW, then waits the same way.
[[nodiscard]] int launch_without_shell(std::wstring_view file, std::wstring_view parameters, int show) noexcept;

} // namespace shell_launch
