// ShellLaunchAndWait: starting a redistributable through the shell (so that
// its manifest's elevation request is honoured) and waiting for it while the
// setup dialog stays painted and its progress bar keeps moving.
#include "shelllaunch.h"

#include "ov_exceptions.h"
#include "ov_format.h"
#include "ov_handles.h"
#include "processstate.h"
#include "setupdialoglink.h"
#include "setuplog.h"
#include "utils.h"

#include <windows.h>

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

using ShellExecuteExFn = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);

ov::unique_handle start_with_shell(ShellExecuteExFn shellExecuteEx, const std::wstring& file,
                                   const std::wstring& parameters, int show)
{
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    // The process handle is what the wait needs; the shell's own error boxes
    // would stop a silent run.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = file.c_str();
    info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    info.nShow = show;
    if (!shellExecuteEx(&info)) {
        log_message(OV_HERE, L"ShellExecuteEx failed for '%s', error %u", file, ov::last_error_or());
        return {};
    }
    ov::unique_handle process(info.hProcess);
    // A shell that hands the file to a running program (DDE) gives no
    // process: there is no exit code to wait for, which must not read as
    // success.
    if (!process)
        log_message(OV_HERE, L"ShellExecuteEx started no process for '%s'", file);
    return process;
}

ov::unique_handle start_with_create_process(const std::wstring& file, const std::wstring& parameters, int show)
{
    const std::wstring commandLine = ov::format(L"\"%s\" %s", file, parameters);
    DWORD error = 0;
    ov::unique_handle process = StartProcess(commandLine, show, NORMAL_PRIORITY_CLASS, error);
    if (!process)
        log_message(OV_HERE, L"CreateProcess failed for '%s', error %u", commandLine, error);
    return process;
}

bool has_ended(HANDLE process) noexcept
{
    return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// Waits for the process; only painting and the dialog's timer are served
// meanwhile, every other posted message is dropped. A quit request is kept:
// dropping it would leave the launcher's later message loops running.
void wait_for(HANDLE process) noexcept
{
    bool quit = false;
    WPARAM quitCode = 0;
    for (;;) {
        const DWORD wait = ::MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT);
        if (wait != WAIT_OBJECT_0 + 1)
            break;
        MSG message = {};
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            switch (message.message) {
            case WM_PAINT:
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
                break;
            case WM_TIMER:
                SetupDialogWaitTick();
                break;
            case WM_QUIT:
                quit = true;
                quitCode = message.wParam;
                break;
            default:
                break;
            }
            if (has_ended(process))
                break;
        }
    }
    if (quit)
        ::PostQuitMessage(static_cast<int>(quitCode));
}

int finish(ov::unique_handle process) noexcept
{
    wait_for(process.get());
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.get(), &code)) {
        log_message(OV_HERE, L"No exit code, error %u", ov::last_error_or());
        return kLaunchFailed;
    }
    const int exitCode = static_cast<int>(code);
    Process().SetupResult = exitCode;
    log_message(OV_HERE, L"Launch result %d, exit code %d", 1, exitCode);
    return exitCode;
}

int launch(ShellExecuteExFn shellExecuteEx, std::wstring_view file, std::wstring_view parameters, int show) noexcept
{
    try {
        const std::wstring fileText(file);
        const std::wstring parameterText(parameters);
        log_message(OV_HERE, L"Attempting to launch: \"%s\" %s", fileText, parameterText);
        ov::unique_handle process = shellExecuteEx ? start_with_shell(shellExecuteEx, fileText, parameterText, show)
                                                   : start_with_create_process(fileText, parameterText, show);
        if (!process) {
            log_message(OV_HERE, L"Launch result %d, exit code %d", 0, kLaunchFailed);
            return kLaunchFailed;
        }
        return finish(std::move(process));
    } catch (...) {
        // Out of memory before anything was started.
        return kLaunchFailed;
    }
}

} // namespace

int ShellLaunchAndWait(std::wstring_view file, std::wstring_view parameters, int show) noexcept
{
    // Declared first, released last: after the process handle is closed.
    const ov::unique_hmodule shell(::LoadLibraryW(L"Shell32.dll"));
    const auto shellExecuteEx = shell ? reinterpret_cast<ShellExecuteExFn>(
                                            reinterpret_cast<void*>(::GetProcAddress(shell.get(), "ShellExecuteExW")))
                                      : nullptr;
    return launch(shellExecuteEx, file, parameters, show);
}

namespace shell_launch {

int launch_without_shell(std::wstring_view file, std::wstring_view parameters, int show) noexcept
{
    return launch(nullptr, file, parameters, show);
}

} // namespace shell_launch
