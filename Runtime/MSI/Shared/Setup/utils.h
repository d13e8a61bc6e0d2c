// Shared helpers of the launcher that talk to Windows: starting and waiting
// for child processes, and the usage text.
#pragma once

#include <windows.h>

#include "ov_handles.h"

#include <string>
#include <string_view>

class Session;

// True when a file (not a folder) exists at `path`.
[[nodiscard]] bool FileExists(const std::wstring& path) noexcept;

// Starts `commandLine` without handle inheritance; the process handle, or an
// empty owner (with the Windows error in `error`) when it cannot start.
[[nodiscard]] ov::unique_handle StartProcess(std::wstring_view commandLine, int show, DWORD creationFlags,
                                             DWORD& error);

// The answer of LaunchAndWait when the process could not be started.
inline constexpr int kLaunchFailed = -858993460;

// Starts `commandLine` (no handle inheritance), waits for it while keeping
// this thread's windows painted, stores its exit code in SetupResult and
// answers it. A WM_CLOSE, WM_QUERYENDSESSION or WM_QUIT in the queue ends the
// wait early (the message stays queued for its owner).
int LaunchAndWait(std::wstring_view commandLine, int show = SW_SHOWNORMAL);

// Starts `file` with `parameters` through the shell (ShellExecuteExW, bound
// at run time; CreateProcessW with "\"file\" parameters" where Shell32 has
// none), waits for it serving only paint and timer messages, stores its exit
// code in SetupResult and answers it; kLaunchFailed when it cannot start.
[[nodiscard]] int ShellLaunchAndWait(std::wstring_view file, std::wstring_view parameters,
                                     int show = SW_SHOWNORMAL) noexcept;

// Starts `commandLine` without waiting for it to end; waits up to a second
// for it to become input-idle. True when it started.
bool LaunchNoWait(std::wstring_view commandLine, int show = SW_SHOWNORMAL);

// Shows the usage text in the error dialog (logged as well), then runs the
// deleter and answers its result.
bool ShowUsage(Session& session);
