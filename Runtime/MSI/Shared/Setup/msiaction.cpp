#include "msiaction.h"

#include "engine.h"
#include "errordialog.h"
#include "exitcodes.h"
#include "fileretrieval.h"
#include "installercmdline.h"
#include "ov_exceptions.h"
#include "ov_format.h"
#include "ov_handles.h"
#include "ov_msi.h"
#include "ov_string.h"
#include "ov_version.h"
#include "packagecache.h"
#include "paths.h"
#include "processstate.h"
#include "resource.h"
#include "setupcontext.h"
#include "setuplog.h"
#include "signature.h"
#include "utils.h"
#include "versions.h"

#include <windows.h>
#include <shellapi.h>

namespace {

constexpr wchar_t kEngine30[] = L"2.9.0.0";
constexpr wchar_t kEngine45[] = L"4.05.0.0";
constexpr wchar_t kBillboardLibrary[] = L"OVExternalUI.dll";
constexpr int kInstallerNotStarted = 1157;
constexpr int kEngine45Required = 1713;
constexpr int kUserCancelled = 1602;
constexpr UINT kTemplateProperty = 7;

// The launcher runs as a 32-bit process on 64-bit Windows.
bool running_under_wow64()
{
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto query = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return query && query(::GetCurrentProcess(), &wow64) && wow64;
}

// Switches the file-system redirection of a WOW64 process off while alive.
class redirection_off {
public:
    redirection_off() noexcept
    {
        const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        disable_ = reinterpret_cast<DisableFn>(
            reinterpret_cast<void*>(::GetProcAddress(kernel, "Wow64DisableWow64FsRedirection")));
        revert_ = reinterpret_cast<RevertFn>(
            reinterpret_cast<void*>(::GetProcAddress(kernel, "Wow64RevertWow64FsRedirection")));
        active_ = disable_ && revert_ && disable_(&old_);
    }
    ~redirection_off()
    {
        if (active_)
            revert_(old_);
    }
    redirection_off(const redirection_off&) = delete;
    redirection_off& operator=(const redirection_off&) = delete;

private:
    using DisableFn = BOOL(WINAPI*)(PVOID*);
    using RevertFn = BOOL(WINAPI*)(PVOID);
    DisableFn disable_ = nullptr;
    RevertFn revert_ = nullptr;
    PVOID old_ = nullptr;
    bool active_ = false;
};

} // namespace

bool IsPackage64Bit(const std::wstring& packagePath)
{
    log_message(OV_HERE, L"Checking package platform...");
    UINT summaryStatus = 0, propertyStatus = 0;
    const auto platform = ov::msi::summary_property(packagePath, kTemplateProperty, &summaryStatus, &propertyStatus);
    log_message(OV_HERE, L"Status returned from summary info: %d", static_cast<int>(summaryStatus));
    log_message(OV_HERE, L"Status returned obtaining PID_TEMPLATE property: %d", static_cast<int>(propertyStatus));
    if (!platform)
        return false;
    log_message(OV_HERE, L"Template summary for current package: %s", *platform);
    const bool is64 =
        ov::icontains(*platform, L"Intel64") || ov::icontains(*platform, L"x64") || ov::icontains(*platform, L"AMD64");
    log_message(OV_HERE, is64 ? L"Package is 64-bit" : L"Package is 32-bit");
    return is64;
}

MsiAction::MsiAction(Session& session) : Action(IDS_CONFIGURING_INSTALLER, session) {}

int MsiAction::InstallStyle()
{
    const long style = static_cast<long>(session_.GetSetupIniInt(L"Startup", L"ScriptDriven", 0, 10));
    switch (style) {
    case 0:
        log_message(OV_HERE, L"Install does not use script");
        return 0;
    case 1:
        log_message(OV_HERE, L"Install is script driven (OVMSI)");
        script_driven_ = 1;
        return 1;
    case 2:
        log_message(OV_HERE, L"Install is basic with OrvaneScript custom actions");
        return 2;
    case 3:
        log_message(OV_HERE, L"Install is script driven MSI 4.5 style embedded UI (OVMSI)");
        return 3;
    default:
        return 0;
    }
}

bool MsiAction::Execute()
{
    const std::wstring packageName = session_.GetSetupIniString(L"Startup", L"PackageName", L"");
    if (!packageName.empty() && packageName[0] != L'*') {
        std::wstring packagePath;
        int location = 0;
        bool rebootNow = false;
        if (!PrepareInstall(packagePath, location, true, rebootNow))
            return false;

        if (session_.GetSetupIniInt(L"Startup", L"ScriptDriven", 0, 10) == 3) {
            const std::wstring installed = InstalledEngineVersion();
            if (CompareVersions(installed, kEngine45) > 0) {
                Process().SetupResult = kEngine45Required;
                ErrorDialog(session_.Context()).show_message(IDS_ENGINE_45_REQUIRED);
                log_message(OV_HERE, L"Windows Installer 4.5 or newer is required to run this installation but is "
                                     L"not present on the machine. Setup will now exit.");
                return false;
            }
        }

        if (!rebootNow && session_.State().sourceKey) {
            if (!CachePackage(session_, session_.Get(PackageName), packagePath))
                return false;
        }
        return InstallMsi(packagePath, rebootNow);
    }

    const std::wstring clickOnce = session_.GetSetupIniString(L"Startup", L"ClickOncePackage", L"");
    if (!clickOnce.empty() && clickOnce[0] != L' ') {
        std::wstring target = ov::path::join(session_.State().launcherFolder, clickOnce);
        if (!FileExists(target))
            target = clickOnce;
        const auto answer = reinterpret_cast<INT_PTR>(
            ::ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
        return answer > 32;
    }
    return false;
}

bool MsiAction::PrepareInstall(std::wstring& packagePath, int& location, bool resolveSource, bool& rebootNow)
{
    SessionState& state = session_.State();
    rebootNow = false;
    reboot_kind_ = 0;
    state.deleterNotNeeded = 0;
    state.rebootPending = 0;

    const std::wstring required = session_.Get(EngineVersion);
    bool installEngine = false;
    std::wstring enginePath;
    if (!required.empty()) {
        const int check = CheckEngine(session_, required);
        if (check > 0) {
            log_message(OV_HERE, L"MSI 3.1 needs to be installed, but is not available");
            return false;
        }
        if (check == 0 && state.runMode == RunPrepareAndInstall) {
            int engineLocation = 0;
            if (!FetchEngine(session_, enginePath, engineLocation))
                return false;
            installEngine = true;
        }
    }

    const std::wstring packageUrl = session_.Get(PackageUrl);
    if (!packageUrl.empty())
        packagePath = packageUrl;

    if (resolveSource) {
        bool found = false;
        const std::wstring productCode = session_.ProductCodeValue();
        const std::wstring packageName = session_.Get(PackageName);
        if (!productCode.empty()) {
            const auto installedCode = ov::msi::product_info(productCode, L"PackageCode");
            if (installedCode && !session_.PackageCodeValue().empty() &&
                ov::iequals(*installedCode, session_.PackageCodeValue())) {
                const auto source = ov::msi::product_info(productCode, L"InstallSource");
                const auto name = ov::msi::product_info(productCode, L"PackageName");
                if (source && name) {
                    const std::wstring candidate = ov::path::join(*source, *name);
                    if (FileExists(candidate)) {
                        packagePath = candidate;
                        found = true;
                    }
                }
            }
            for (DWORD index = 0; !found; ++index) {
                const auto source = ov::msi::network_source(productCode, index);
                if (!source)
                    break;
                const std::wstring candidate = ov::path::join(*source, packageName);
                if (FileExists(candidate)) {
                    packagePath = candidate;
                    found = true;
                }
            }
        }
        if (!found && !GetFile(session_, packageName, packageName, packagePath, !packageUrl.empty(), location,
                               !installEngine, true))
            return false;
    }

    if (installEngine && !(rebootNow && reboot_kind_ == 1))
        (void)InstallEngine(session_, enginePath, reboot_kind_);

    // A restart that must come first is decided by the restart logic; an
    // engine that asks for a restart later lets the package schedule it.
    if (reboot_kind_ == 2 && !rebootNow) {
        log_message(OV_HERE, L"Delaying redist reboot...");
        session_.SetScheduleReboot(true);
    }

    // A package fetched from the web before a prerequisite was installed is
    // checked now, in a separate launcher process (the prerequisite may have
    // replaced the trust provider).
    if (resolveSource && location == LocationWebDownload && installEngine && !(rebootNow && reboot_kind_ == 1) &&
        !CheckCertificateKey(session_, session_.Get(PackageName), packagePath, true))
        return false;

    log_message(OV_HERE, L"Reboot needed: %s", rebootNow ? L"yes" : L"no");
    state.deleterNotNeeded = rebootNow ? 1 : 0;
    state.rebootPending = rebootNow ? 1 : 0;
    return true;
}

bool MsiAction::UseBillboards(const std::wstring& properties)
{
    const SessionState& state = session_.State();
    if (state.installMode != ModeInstall || !session_.Context().Interactive())
        return false;
    for (const wchar_t* quiet : {L"/qb", L"/qn", L"/quiet", L"/passive"})
        if (ov::icontains(properties, quiet))
            return false;
    const std::wstring type = session_.Get(BillboardType);
    if (type.empty() || ov::parse_long(type, 10) == 0)
        return false;
    const std::wstring productCode = session_.ProductCodeValue();
    if (!productCode.empty() && ov::msi::product_info(productCode, L"VersionString"))
        return false; // installed already: maintenance runs without billboards
    return true;
}

bool MsiAction::RunWithBillboards(const std::wstring& packagePath, const std::wstring& properties, bool& finished)
{
    finished = false;
    log_message(OV_HERE, L"First time install uses billboard support");
    std::wstring library;
    if (!ExtractFromPayload(session_, kBillboardLibrary, library, false)) {
        log_message(OV_HERE, L"Failed to get UI DLL from setup.exe for billboard support. This installation will "
                             L"run without billboards.");
        return false;
    }
    log_message(OV_HERE, L"Loading OVExternalUI.dll from '%s'", library);
    ov::unique_hmodule module(::LoadLibraryW(library.c_str()));
    if (!module) {
        log_message(OV_HERE, L"Failed to load UI DLL, last error %x, install will run without billboards",
                    static_cast<unsigned>(ov::last_error_or()));
        return false;
    }
    using InstallFn = int(__stdcall*)(const wchar_t*, const wchar_t*, int, int);
    const auto install =
        reinterpret_cast<InstallFn>(reinterpret_cast<void*>(::GetProcAddress(module.get(), "OVExternalUIInstall")));
    if (!install)
        return false;
    finished = true;
    if (Process().Cancelled)
        return true;
    const SetupContext& context = session_.Context();
    const int rtl = context.IsRtlLanguage(context.Language()) ? 1 : 0;
    const int type = static_cast<int>(ov::parse_long(session_.Get(BillboardType), 10));
    Process().SetupResult = install(packagePath.c_str(), properties.c_str(), rtl, type);
    return true;
}

void MsiAction::DeleteFreshTransforms(const FILETIME& start)
{
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH)
        return;
    const std::wstring pattern = ov::path::join(temp, L"*.mst");
    WIN32_FIND_DATAW found = {};
    ov::unique_hfind search(::FindFirstFileW(pattern.c_str(), &found));
    if (!search)
        return;
    do {
        if (::CompareFileTime(&found.ftLastAccessTime, &start) >= 0)
            ::DeleteFileW(ov::path::join(temp, found.cFileName).c_str());
    } while (::FindNextFileW(search.get(), &found));
}

bool MsiAction::InstallMsi(const std::wstring& packagePath, bool rebootFirst)
{
    SessionState& state = session_.State();
    const int style = InstallStyle();

    PropertyInputs inputs;
    inputs.cmdLine = session_.Get(CmdLine);
    inputs.severalLanguages = session_.Context().SupportedLanguages().size() > 1;
    inputs.quietStart = state.quietStart;
    inputs.installMode = state.installMode;
    inputs.languageTransform = session_.Get(LanguageTransform);
    inputs.launcherPath = state.launcherPath;
    inputs.usesScript = style >= 1 && style <= 3;
    inputs.engineCommandLine = session_.EngineCommandLine();
    inputs.rebootFirst = rebootFirst;
    const PropertyString properties = BuildPropertyString(inputs);
    if (!properties.launcherProperties.empty())
        session_.AddOption(std::wstring_view(L"/v"), std::wstring_view(properties.launcherProperties), true);

    if (rebootFirst) {
        // The restart before the installation belongs to the restart logic,
        // which registers the installation to resume afterwards.
        log_message(OV_HERE, L"MsiAction::InstallMsi - calling Reboot");
        return true;
    }

    if (script_driven_) {
        log_message(OV_HERE, L"Failed to locate OVSetup.dll (%s)", packagePath);
        Process().SetupResult = exit_code::cancelled;
        return false;
    }

    if (UseBillboards(properties.text)) {
        bool finished = false;
        if (RunWithBillboards(packagePath, properties.text, finished) && finished)
            return true;
    }

    FILETIME start = {};
    ::GetSystemTimeAsFileTime(&start);

    const std::wstring commandLine =
        BuildCommandLine(state.installMode, session_.Get(ModeFlags), packagePath, properties.text);
    if (state.installMode == ModePatch)
        session_.AddOption(std::wstring_view(L"/v"),
                           std::wstring_view(ov::format(L"/p\"%s\" %s", packagePath, properties.text)), true);

    int exitCode = 0;
    if (running_under_wow64() && IsPackage64Bit(packagePath)) {
        log_message(OV_HERE, L"Disabling WOW64 file system redirection to prevent issues with 64-bit MSI packages "
                             L"(costing error 2324)");
        redirection_off off;
        exitCode = LaunchAndWait(commandLine, SW_SHOWNORMAL);
    } else {
        exitCode = LaunchAndWait(commandLine, SW_SHOWNORMAL);
    }

    if (exitCode == kLaunchFailed)
        Process().SetupResult = kInstallerNotStarted;
    if (state.scheduleReboot && exitCode == kUserCancelled)
        state.rebootPending = 1;

    if (ov::iequals(ov::path::folder_of(packagePath), Process().TempFolder)) {
        // A run-once entry the installer registered would need the files
        // after a restart; taking it over is the restart logic's part.
        keep_files_ = 0;
    } else {
        DeleteFreshTransforms(start);
    }
    return true;
}
