#include "engine.h"

#include "diskaction.h"
#include "errordialog.h"
#include "ov_exceptions.h"
#include "ov_format.h"
#include "ov_handles.h"
#include "ov_version.h"
#include "osaction.h"
#include "paths.h"
#include "processstate.h"
#include "resource.h"
#include "session.h"
#include "setupcontext.h"
#include "setuplog.h"
#include "utils.h"

#include <windows.h>

namespace {

constexpr wchar_t kEngineLibrary[] = L"Msi.DLL";
constexpr wchar_t kInstallerKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Installer";
constexpr wchar_t kInstallerLocation[] = L"InstallerLocation";

std::uint32_t service_pack_major() noexcept
{
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)))
        return 0;
#pragma GCC diagnostic pop
    return version.wServicePackMajor;
}

std::wstring temp_folder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
    return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

std::wstring windows_folder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = ::GetWindowsDirectoryW(buffer, MAX_PATH + 1);
    return n > 0 && n <= MAX_PATH ? std::wstring(buffer, n) : std::wstring();
}

void report(Session& session, int message)
{
    Process().SetupResult = message;
    ErrorDialog(session.Context()).show_message(static_cast<unsigned>(message));
}

// After an engine install that leaves its restart for later, the new
// engine's MSIEXEC.EXE must be found before the one in the system folder.
void use_installer_location()
{
    ov::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallerKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
        log_message(OV_HERE, L"No installer key; the current directory stays");
        return;
    }
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH * sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), kInstallerLocation, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        log_message(OV_HERE, L"No usable %s value; the current directory stays", kInstallerLocation);
        return;
    }
    // The stored text need not end with a null.
    buffer[size / sizeof(wchar_t)] = L'\0';
    const std::wstring folder(buffer);
    if (folder.empty())
        return;
    if (!::SetCurrentDirectoryW(folder.c_str()))
        log_message(OV_HERE, L"Cannot make '%s' the current directory, error %u", folder, ov::last_error_or());
    else
        log_message(OV_HERE, L"Current directory is now '%s'", folder);
}

} // namespace

std::wstring InstalledEngineVersion()
{
    return ov::GetFileVersionText(kEngineLibrary);
}

int CheckEngine(Session& session, std::wstring_view required) noexcept
{
    std::wstring installed;
    try {
        installed = InstalledEngineVersion();
    } catch (...) {
        Process().SetupResult = kEngineMessageInternalError;
        return EngineUnsupportedSystem;
    }
    return CheckEngine(session, required, installed);
}

int CheckEngine(Session& session, std::wstring_view required, std::wstring_view installed) noexcept
{
    try {
        EngineFacts facts;
        facts.installed = installed;
        facts.required = required;
        facts.os = session.State().os;
        facts.is64bitWindows = is_64bit_windows();
        facts.servicePackMajor = service_pack_major();
        facts.suppressWrongOs = session.GetSetupIniFlag(L"Startup", L"SuppressWrongOS", false);
        facts.matchList = [&session](std::wstring_view list) { return match_os_list(session, list); };
        facts.administrator = [] { return IsEffectiveAdministrator(); };
        // check_disk_space reports message 1201 itself for the disk that is full.
        facts.diskHasSpace = [&session](EngineDisk disk) {
            return check_disk_space(session, disk == EngineDisk::Temp ? temp_folder() : windows_folder());
        };

        const EngineDecision decision = DecideEngineCheck(facts);
        log_message(OV_HERE, L"MSI engine '%s' installed, '%s' required, list '%s': check result %d", installed,
                    required, decision.list, decision.result);
        switch (decision.result) {
        case EngineNotAdministrator:
        case EngineUnsupportedSystem:
            report(session, decision.message);
            break;
        case EngineKept:
            if (decision.message == kEngineMessageOlderEngine) {
                Process().SetupResult = kEngineMessageOlderEngine;
                const SetupContext& context = session.Context();
                (void)context.Ask(nullptr, ov::format(context.LoadString(IDS_OLDER_ENGINE), installed),
                                  MB_OK | MB_ICONINFORMATION, IDOK);
            }
            break;
        default:
            break;
        }
        return decision.result;
    } catch (...) {
        // Out of memory: the preparation ends as it does for a system that
        // cannot take the engine, rather than going on unchecked.
        Process().SetupResult = kEngineMessageInternalError;
        return EngineUnsupportedSystem;
    }
}

int InstallEngine(Session& session, std::wstring_view path, int& restartKind) noexcept
{
    restartKind = EngineRestartNone;
    try {
        log_message(OV_HERE, L"Installing MSI engine %s", path);
        const EngineInstallCommand command = MakeEngineInstallCommand(session.Get(EngineVersion), path);
        const int exitCode = command.shell ? ShellLaunchAndWait(command.file, command.parameters, SW_SHOWNORMAL)
                                           : LaunchAndWait(command.commandLine, SW_SHOWNORMAL);
        const EngineInstallOutcome outcome = EvaluateEngineExitCode(exitCode, command.canDeferRestart);
        if (outcome.succeeded) {
            restartKind = outcome.restartKind;
            if (outcome.useInstallerLocation)
                use_installer_location();
            return 0;
        }
        Process().SetupResult = kEngineMessageInternalError;
        const SetupContext& context = session.Context();
        ErrorDialog(context).show_error_text(
            EngineFailureText(exitCode, [&context](unsigned id) { return context.LoadString(id); }));
        return exitCode;
    } catch (...) {
        Process().SetupResult = kEngineMessageInternalError;
        return kLaunchFailed;
    }
}
