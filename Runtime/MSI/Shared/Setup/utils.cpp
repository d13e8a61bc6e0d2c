#include "utils.h"

#include "deleteaction.h"
#include "diskaction.h"
#include "errordialog.h"
#include "ov_exceptions.h"
#include "ov_handles.h"
#include "paths.h"
#include "processstate.h"
#include "resource.h"
#include "session.h"
#include "setupcontext.h"
#include "setuplog.h"

#include <vector>

namespace {

// Messages that end a wait for a child process: the application is being
// closed, and its own loop must see them.
bool ends_wait(UINT message) noexcept
{
    return message == WM_CLOSE || message == WM_QUERYENDSESSION || message == WM_QUIT;
}

} // namespace

bool FileExists(const std::wstring& path) noexcept
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

ov::unique_handle StartProcess(std::wstring_view commandLine, int show, DWORD creationFlags, DWORD& error)
{
    error = 0;
    // CreateProcessW may write into the command-line buffer.
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(show);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, creationFlags, nullptr, nullptr, &startup,
                          &info)) {
        error = ov::last_error_or();
        return {};
    }
    ov::unique_handle thread(info.hThread);
    return ov::unique_handle(info.hProcess);
}

int LaunchAndWait(std::wstring_view commandLine, int show)
{
    log_message(OV_HERE, L"Attempting to launch: %s", commandLine);
    DWORD error = 0;
    const ov::unique_handle child = StartProcess(commandLine, show, 0, error);
    if (!child) {
        log_message(OV_HERE, L"Launch result %d, exit code %d", 0, kLaunchFailed);
        return kLaunchFailed;
    }

    const HANDLE process = child.get();
    bool done = false;
    while (!done) {
        const DWORD wait = ::MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0)
            break;
        if (wait != WAIT_OBJECT_0 + 1) {
            // The wait itself failed; fall back to a plain wait.
            ::WaitForSingleObject(process, INFINITE);
            break;
        }
        MSG message = {};
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE)) {
            if (ends_wait(message.message)) {
                done = true;
                break;
            }
            if (!::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
                break;
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }

    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code)) {
        // An unreadable exit code must not pass for success (0).
        log_message(OV_HERE, L"Launch result %d, exit code %d", 0, kLaunchFailed);
        return kLaunchFailed;
    }
    const int exitCode = static_cast<int>(code);
    Process().SetupResult = exitCode;
    log_message(OV_HERE, L"Launch result %d, exit code %d", 1, exitCode);
    return exitCode;
}

bool LaunchNoWait(std::wstring_view commandLine, int show)
{
    log_message(OV_HERE, L"Attempting to launch (no wait): %s", commandLine);
    DWORD error = 0;
    const ov::unique_handle child = StartProcess(commandLine, show, 0, error);
    const bool started = static_cast<bool>(child);
    log_message(OV_HERE, L"Launch result %d", started ? 1 : 0);
    if (started)
        ::WaitForInputIdle(child.get(), 1000);
    return started;
}

bool ShowUsage(Session& session)
{
    {
        // Prepares setup.ini and the language files so that the text comes in
        // the setup language.
        DiskAction disk(IDS_CONFIGURING, session);
        if (disk.Execute() && session.Context().Language() == 0) {
            const auto& state = session.State();
            const std::wstring& folder =
                state.payloadMode == PayloadEmbedded ? Process().TempFolder : state.tempDisk1Folder;
            Process().SetupIniPath = ov::path::join(folder, L"Setup.INI");
            session.Context().SelectLanguage(0);
        }
    }
    const SetupContext& context = session.Context();
    static constexpr unsigned kUsageLines[] = {IDS_USAGE_HEADER,     IDS_USAGE_LANGUAGE, IDS_USAGE_SILENT,
                                               IDS_USAGE_PARAMETERS, IDS_USAGE_UA,       IDS_USAGE_UW,
                                               IDS_USAGE_UM,         IDS_USAGE_US};
    std::wstring text;
    for (const unsigned id : kUsageLines) {
        if (!text.empty())
            text.append(L"\r\n");
        text.append(context.LoadString(id));
    }
    log_message(OV_HERE, L"%s", text);
    ErrorDialog(context).show_error_text(text);

    DeleteAction deleter;
    return deleter.RunDeleter(session.Instance());
}
