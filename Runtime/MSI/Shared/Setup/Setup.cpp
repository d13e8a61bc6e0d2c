// The launcher's entry: decides which mode the command line asks for, runs
// it and answers the process exit code.
#include <windows.h>
#include <aclapi.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <memory>
#include <optional>
#include <string>

#include "commandline.h"
#include "deleteaction.h"
#include "entrymodes.h"
#include "exitcodes.h"
#include "ov_handles.h"
#include "ov_string.h"
#include "OvMsiHelper.h"
#include "paths.h"
#include "processstate.h"
#include "session.h"
#include "setupcontext.h"
#include "setuplog.h"
#include "signature.h"
#include "stream.h"
#include "utils.h"

namespace {

constexpr wchar_t kEngineLibrary[] = L"OVSetup.dll";

// Owns the argument vector of CommandLineToArgvW.
struct argv_owner {
    wchar_t** argv = nullptr;
    int argc = 0;
    argv_owner() noexcept { argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc); }
    ~argv_owner()
    {
        if (argv)
            ::LocalFree(argv);
    }
    argv_owner(const argv_owner&) = delete;
    argv_owner& operator=(const argv_owner&) = delete;
};

struct com_apartment {
    HRESULT hr;
    com_apartment() noexcept : hr(::CoInitialize(nullptr)) {}
    ~com_apartment()
    {
        if (SUCCEEDED(hr))
            ::CoUninitialize();
    }
};

DWORD os_major_version() noexcept
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExW(&info))
        return 0;
#pragma GCC diagnostic pop
    return info.dwMajorVersion;
}

// Lets only administrators, the service accounts, the caller and the system
// call into this process's COM objects (the engine's progress object).
bool SetProcessComSecurity() noexcept
{
    SECURITY_DESCRIPTOR descriptor = {};
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION))
        return false;

    const HMODULE advapi = ::GetModuleHandleW(L"advapi32.dll");
    if (!advapi)
        return false;
    using CreateWellKnownSidFn = BOOL(WINAPI*)(WELL_KNOWN_SID_TYPE, PSID, PSID, DWORD*);
    using SetEntriesInAclFn = DWORD(WINAPI*)(ULONG, PEXPLICIT_ACCESS_W, PACL, PACL*);
    const auto createSid =
        reinterpret_cast<CreateWellKnownSidFn>(reinterpret_cast<void*>(::GetProcAddress(advapi, "CreateWellKnownSid")));
    const auto setEntries =
        reinterpret_cast<SetEntriesInAclFn>(reinterpret_cast<void*>(::GetProcAddress(advapi, "SetEntriesInAclW")));
    if (!createSid || !setEntries)
        return false;

    constexpr WELL_KNOWN_SID_TYPE kSids[] = {WinBuiltinAdministratorsSid, WinLocalServiceSid, WinNetworkServiceSid,
                                             WinSelfSid, WinLocalSystemSid};
    BYTE sids[5][72] = {};
    EXPLICIT_ACCESS_W entries[5] = {};
    for (int i = 0; i < 5; ++i) {
        DWORD size = sizeof sids[i];
        if (!createSid(kSids[i], nullptr, sids[i], &size))
            return false;
        entries[i].grfAccessPermissions = 3; // COM execute and local execute
        entries[i].grfAccessMode = SET_ACCESS;
        entries[i].grfInheritance = NO_INHERITANCE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = TRUSTEE_IS_GROUP;
        entries[i].Trustee.ptstrName = reinterpret_cast<LPWSTR>(sids[i]);
    }
    PACL acl = nullptr;
    if (setEntries(5, entries, nullptr, &acl) != ERROR_SUCCESS)
        return false;
    ov::unique_hlocal aclOwner(acl);
    ::SetSecurityDescriptorOwner(&descriptor, sids[0], FALSE);
    ::SetSecurityDescriptorGroup(&descriptor, sids[0], FALSE);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    return SUCCEEDED(::CoInitializeSecurity(&descriptor, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                            RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_DISABLE_AAA, nullptr));
}

std::wstring module_path(HINSTANCE instance, DWORD capacity)
{
    std::wstring path(capacity, L'\0');
    const DWORD n = ::GetModuleFileNameW(instance, path.data(), capacity);
    path.resize(n < capacity ? n : 0);
    return path;
}

// %TEMP%\{UUID}: a new folder with a name nobody has used.
std::wstring CreateUniqueTempFolder()
{
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH)
        return {};
    for (int attempt = 0; attempt < 100; ++attempt) {
        GUID guid = {};
        if (FAILED(::CoCreateGuid(&guid)))
            return {};
        wchar_t name[64] = {};
        ::StringFromGUID2(guid, name, 64);
        std::wstring folder = ov::path::join(temp, ov::to_upper(name));
        if (::GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
            continue;
        if (!::CreateDirectoryW(folder.c_str(), nullptr)) {
            if (::GetLastError() == ERROR_ALREADY_EXISTS)
                continue;
            return {};
        }
        return ov::path::without_trailing_backslash(folder);
    }
    return {};
}

void InitCommonControlsOnce() noexcept
{
    const HMODULE comctl = ::LoadLibraryW(L"COMCTL32");
    if (!comctl)
        return;
    using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    const auto init =
        reinterpret_cast<InitFn>(reinterpret_cast<void*>(::GetProcAddress(comctl, "InitCommonControlsEx")));
    if (init) {
        INITCOMMONCONTROLSEX controls = {};
        controls.dwSize = sizeof controls;
        controls.dwICC = ICC_PROGRESS_CLASS;
        init(&controls);
    } else {
        ::InitCommonControls();
    }
    // comctl32 stays loaded for the life of the process: its window classes
    // are used by every dialog.
}

int RunAfterReboot(SetupContext& context, std::wstring_view rawCommandLine)
{
    log_message(OV_HERE, L"Running after reboot");
    OvMsiHelper helper(context);
    const std::wstring library = ov::path::join(context.SourceFolder(), kEngineLibrary);
    if (!helper.Load(library) || !helper.CheckEntryPoint())
        return Process().SetupResult;
    return helper.RunEngine(false, L"", rawCommandLine, 0, context.LauncherPath());
}

int RunMajorUpgradeRemoval(SetupContext& context, HINSTANCE instance, std::wstring_view value, bool runFromTemp)
{
    const auto pieces = SplitMajorUpgradeValue(value);
    if (!pieces)
        return exit_code::major_upgrade_bad_value;

    std::wstring library = ov::path::join(context.SourceFolder(), kEngineLibrary);
    std::wstring extracted;
    if (::GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES) {
        // The library may also travel in the launcher's payload.
        library.clear();
        wchar_t temp[MAX_PATH + 1] = {};
        wchar_t file[MAX_PATH + 1] = {};
        const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
        if (n > 0 && n <= MAX_PATH && ::GetTempFileNameW(temp, L"OV_", 0, file)) {
            STREAM payload(context.LauncherPath());
            if (payload.ExtractEntry(kEngineLibrary, file, nullptr)) {
                library = file;
                extracted = file;
            } else {
                ::DeleteFileW(file);
            }
        }
    }
    // The extracted copy goes once the call is over.
    ov::scope_exit removeCopy([&extracted] {
        if (!extracted.empty())
            ::DeleteFileW(extracted.c_str());
    });

    int result = exit_code::major_upgrade_no_engine;
    if (!library.empty()) {
        OvMsiHelper helper(context);
        if (!helper.Load(library) || !helper.CheckEntryPoint())
            result = Process().SetupResult;
        else
            result = helper.RunMajorUpgradeRemoval((*pieces)[0], static_cast<int>(ov::parse_long((*pieces)[1], 10)),
                                                   static_cast<int>(ov::parse_long((*pieces)[2], 10)), (*pieces)[3]);
    }
    if (runFromTemp) {
        DeleteAction deleter;
        (void)deleter.RunDeleter(instance);
    }
    return result;
}

// Libraries the launcher loads by name (msi.dll, wininet.dll, comctl32...)
// come from the system folder only: a setup.exe run from a downloads folder
// must not pick up a DLL planted beside it. Libraries of the package (the
// script engine, the billboard library) are loaded by full path.
void RestrictLibrarySearch() noexcept
{
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto restrict = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
                                       reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                                 : nullptr;
    if (restrict)
        restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
    else
        ::SetDllDirectoryW(L"");
}

int RunEntry(HINSTANCE instance, std::wstring_view rawCommandLine)
{
    RestrictLibrarySearch();
    com_apartment com;
    if (os_major_version() >= 6)
        (void)SetProcessComSecurity();

    Process().Instance = instance;
    SetupContext context(instance, module_path(instance, MAX_PATH));
    Process().Context = &context;
    Process().TempFolder.clear();
    Process().SetupResult = 0;

    argv_owner args;
    CommandLineScanner scanner(rawCommandLine);

    std::wstring logPath;
    std::wstring value;
    if (scanner.GetOption(L"debuglog", &value, false, false)) {
        ov::log::enable_log();
        ov::log::set_log_source_details(false);
        if (!value.empty()) {
            logPath = ov::path::unquote(value);
            ov::log::set_log_file(logPath);
        } else {
            logPath = ov::log::get_log_file_path();
        }
    }
    log_message(OV_HERE, L"Orvane setup.exe (Unicode) started, cmdline: %s", rawCommandLine);

    const bool runFromTemp = scanner.GetOption(L"runfromtemp", nullptr, true, true);
    const bool reboot = scanner.GetOption(L"reboot", nullptr, false, false);

    int exitCode = 0;
    if (reboot)
        return RunAfterReboot(context, rawCommandLine);

    if (!runFromTemp || scanner.GetOption(L"Q", nullptr, false, false)) {
        if (scanner.GetOption(L"removeasmajorupgrade", &value, false, true)) {
            log_message(OV_HERE, L"Running as remove major upgrade");
            return RunMajorUpgradeRemoval(context, instance, value, runFromTemp);
        }
    }

    if (args.argc >= 2) {
        switch (GetLeadingForm(rawCommandLine)) {
        case LeadingForm::RunOnce: {
            const std::wstring command = RunOnceCommand(rawCommandLine);
            if (!command.empty()) {
                (void)LaunchAndWait(command, SW_SHOWNORMAL);
                DeleteAction deleter;
                (void)deleter.RunDeleter(instance);
            }
            return exit_code::success;
        }
        case LeadingForm::StartCopy:
            (void)LaunchNoWait(StartCopyCommand(args.argv[0], rawCommandLine), SW_SHOWNORMAL);
            return exit_code::success;
        case LeadingForm::SignatureCheck:
            if (const auto check = ParseSignatureCheck(rawCommandLine)) {
                if (check->silent)
                    context.SetSilent(true);
                return RunSignatureCheck(context, *check);
            }
            break;
        case LeadingForm::None:
            break;
        }
    }

    // The ordinary run.
    std::optional<std::wstring> sourceLauncher;
    if (args.argc >= 2 && StartsWithRelaunchOption(rawCommandLine)) {
        const std::wstring_view first = args.argv[1];
        sourceLauncher = std::wstring(first.size() > 2 ? first.substr(2) : std::wstring_view());
    }

    std::wstring tempFolder;
    if (scanner.GetOption(L"tempdisk1folder", &value, false, false))
        tempFolder = ov::path::unquote(value);
    if (tempFolder.empty())
        tempFolder = CreateUniqueTempFolder();
    tempFolder = ov::path::unquote(tempFolder);
    if (tempFolder.size() >= kMaxTempFolder)
        tempFolder.resize(kMaxTempFolder - 1);
    Process().TempFolder = tempFolder;
    context.SetTempFolder(tempFolder);

    InitCommonControlsOnce();

    {
        OvSetup setup;
        std::optional<std::wstring_view> source;
        if (sourceLauncher)
            source = *sourceLauncher;
        if (setup.Init(instance, context, args.argc, args.argv, source, logPath))
            (void)setup.Run();
        log_message(OV_HERE, L"Setup returning %d", Process().SetupResult);
        exitCode = Process().SetupResult;
    }
    Process().Context = nullptr;
    return exitCode;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR rawCommandLine, int)
{
    try {
        // A copy of the launcher started to remove a relaunched launcher after
        // its exit does only that.
        if (const auto helper = DeleteAction::RunRemovalHelper(::GetCommandLineW()))
            return *helper;
        return RunEntry(instance, rawCommandLine ? rawCommandLine : L"");
    } catch (const std::exception&) {
        // Nothing may escape the entry; an unexpected failure is an internal error.
        return Process().SetupResult ? Process().SetupResult : ERROR_INSTALL_FAILURE;
    }
}
