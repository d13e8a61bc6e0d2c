#include "diskaction.h"

#include "errordialog.h"
#include "exitcodes.h"
#include "osaction.h"
#include "ov_exceptions.h"
#include "ov_format.h"
#include "ov_handles.h"
#include "ov_string.h"
#include "paths.h"
#include "processstate.h"
#include "resource.h"
#include "setupcontext.h"
#include "setuplog.h"
#include "stream.h"
#include "versions.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace {

constexpr wchar_t kSetupIniName[] = L"Setup.INI";
constexpr wchar_t kSkinName[] = L"setup.ovn";
constexpr wchar_t kProbeFileName[] = L"_MSI5166._OV";
constexpr std::uint32_t kFreeSpaceCap = 2147483647u;
constexpr unsigned long kDefaultDiskSpaceKb = 8000;

bool g_diskActionDone = false;

std::wstring launcher_module_path()
{
    wchar_t path[1024] = {};
    const DWORD n = ::GetModuleFileNameW(static_cast<HINSTANCE>(Process().Instance), path, 1024);
    return (n > 0 && n < 1024) ? std::wstring(path) : std::wstring();
}

// A folder qualifies when it starts with a drive letter, has more than the
// needed space and takes a probe file.
bool qualifies(const std::wstring& folder, std::uint64_t neededKb)
{
    if (folder.empty() || ov::fold_case(folder[0]) < L'A' || ov::fold_case(folder[0]) > L'Z')
        return false;
    std::uint32_t freeKb = 0;
    if (!get_free_space_kb(folder, freeKb) || freeKb <= neededKb)
        return false;
    const std::wstring probe = ov::path::join(folder, kProbeFileName);
    ov::unique_hfile file(
        ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    file.reset();
    ::DeleteFileW(probe.c_str());
    return true;
}

std::wstring drive_root(wchar_t letter)
{
    return std::wstring(1, letter) + L":\\";
}

} // namespace

DiskAction::DiskAction(unsigned titleId, Session& session) : Action(titleId, session) {}

void DiskAction::ResetDone() noexcept
{
    g_diskActionDone = false;
}

bool get_free_space_kb(std::wstring_view path, std::uint32_t& freeKb) noexcept
{
    freeKb = 0;
    const std::wstring text(path);
    ULARGE_INTEGER available = {}, total = {}, totalFree = {};
    if (::GetDiskFreeSpaceExW(text.c_str(), &available, &total, &totalFree)) {
        const std::uint64_t kb = totalFree.QuadPart / 1024;
        freeKb = totalFree.QuadPart >= (std::uint64_t{4} << 30) ? kFreeSpaceCap : static_cast<std::uint32_t>(kb);
        return true;
    }
    if (text.size() < 3)
        return false;
    const std::wstring root = text.substr(0, 3);
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!::GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return false;
    const std::uint64_t bytes = std::uint64_t{freeClusters} * sectorsPerCluster * bytesPerSector;
    freeKb = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes / 1024, kFreeSpaceCap));
    return true;
}

bool check_disk_space(Session& session, std::wstring_view folder)
{
    const unsigned long required = session.State().requiredDiskSpaceKb;
    std::uint32_t freeKb = 0;
    if (get_free_space_kb(folder, freeKb) && freeKb >= required)
        return true;
    const std::wstring drive = ov::path::drive_of(folder) + L"\\";
    Process().SetupResult = exit_code::not_enough_disk_space;
    ErrorDialog(session.Context())
        .show_error_text(ov::format(session.Context().LoadString(IDS_DISK_SPACE), required, drive));
    return false;
}

bool DiskAction::FindTempLocation(std::wstring& folder, std::uint64_t neededKb)
{
    folder.clear();
    std::vector<std::wstring> candidates;
    {
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
        if (n > 0 && n <= MAX_PATH) {
            ov::error_mode_guard quiet;
            if (qualifies(ov::path::without_trailing_backslash(temp), neededKb)) {
                folder = ov::path::without_trailing_backslash(temp);
                return true;
            }
        }
    }
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT w = ::GetWindowsDirectoryW(windows, MAX_PATH + 1);
    if (w > 0 && w <= MAX_PATH)
        candidates.emplace_back(windows);
    for (const UINT type : {static_cast<UINT>(DRIVE_FIXED), static_cast<UINT>(DRIVE_REMOTE)})
        for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
            const std::wstring root = drive_root(letter);
            if (::GetDriveTypeW(root.c_str()) == type)
                candidates.push_back(root);
        }
    ov::error_mode_guard quiet;
    for (const auto& candidate : candidates)
        if (qualifies(candidate, neededKb)) {
            folder = candidate;
            return true;
        }
    return false;
}

bool DiskAction::Execute()
{
    if (g_diskActionDone)
        return true;
    {
        OSAction os(session_);
        if (!os.Execute())
            return false;
    }

    SessionState& state = session_.State();
    SetupContext& context = session_.Context();
    STREAM& payload = session_.Payload();

    state.payloadMode = PayloadEmbedded;
    session_.SetTempDisk1Folder(state.launcherFolder);
    state.payloadSize = payload.GetTotalSize();

    std::wstring location;
    if (!FindTempLocation(location, state.payloadSize / 1024)) {
        Process().SetupResult = exit_code::temp_location_unwritable;
        ErrorDialog(context).show_message(IDS_TEMP_WRITE_ERROR);
        return false;
    }

    // A launcher cut short (a broken download or copy) must not install a
    // part of its payload: the missing entry is reported before anything runs.
    if (!session_.CheckPayloadComplete())
        return false;

    if (!payload.HasEntry(kSetupIniName)) {
        state.payloadMode = PayloadBesideLauncher;
    } else if (!session_.ExtractSetupIni()) {
        return false;
    }

    const std::wstring& iniFolder = state.payloadMode == PayloadEmbedded ? Process().TempFolder : state.sourceFolder;
    const std::wstring iniPath = ov::path::join(iniFolder, kSetupIniName);
    context.SetSetupIniPath(iniPath);
    Process().SetupIniPath = iniPath;
    session_.ReloadSetupIni();
    // An unreadable document leaves the context's first values in place.
    (void)context.ReadStartupSection();

    if (state.payloadMode == PayloadEmbedded && !session_.ExtractLanguageFiles())
        return false;

    if (payload.HasEntry(kSkinName))
        (void)session_.ExtractFile(kSkinName, true, false, std::nullopt, true);

    if (!ReadPackageSettings()) {
        Process().SetupResult = exit_code::setup_ini_unreadable;
        ErrorDialog(context).show_message(IDS_SETUP_INI_ERROR);
        return false;
    }

    if (state.installMode == ModePatch && !session_.ExtractAllEntries())
        return false;

    g_diskActionDone = true;
    return true;
}

bool DiskAction::ReadPackageSettings()
{
    SessionState& state = session_.State();
    SetupContext& context = session_.Context();
    const std::wstring& iniPath = Process().SetupIniPath;
    log_message(OV_HERE, L"Reading setup.ini from %s", iniPath);
    session_.ReloadSetupIni();

    session_.Set(PackageName, session_.GetSetupIniString(L"Startup", L"PackageName", L""));
    if (session_.Get(PackageName).empty()) {
        log_message(OV_HERE, L"Failed to read setup package: %s name from Setup.ini", L"PackageName");
        return false;
    }
    if (!SelectEngineVersion()) {
        log_message(OV_HERE, L"Failed to get MSI Engine Version");
        return false;
    }

    state.requiredDiskSpaceKb = session_.GetSetupIniInt(L"Info", L"DiskSpace", kDefaultDiskSpaceKb, 10);

    const unsigned long onUpgrade = session_.GetSetupIniInt(L"Startup", L"OnUpgrade", 1, 10);
    if (onUpgrade == 1)
        state.upgradeMode = (context.Silent() || context.Automatic()) ? 1 : 0;
    else if (onUpgrade == 2)
        state.upgradeMode = 1;
    else
        state.upgradeMode = 2;

    session_.Set(ProductCode, session_.GetSetupIniString(L"Startup", L"ProductCode", L""));
    session_.Set(PackageCode, session_.GetSetupIniString(L"Startup", L"PackageCode", L""));
    session_.Set(ProductVersion, session_.GetSetupIniString(L"Startup", L"ProductVersion", L""));

    if (session_.Get(CmdLine).empty()) {
        const std::wstring raw = session_.GetSetupIniString(L"Startup", L"CmdLine", L"");
        wchar_t expanded[1024] = {};
        const DWORD n = ::ExpandEnvironmentStringsW(raw.c_str(), expanded, 1024);
        const std::wstring value = (n > 0 && n <= 1024) ? std::wstring(expanded) : raw.substr(0, 1023);
        session_.Set(CmdLine, value);
        if (state.installMode != ModePatch)
            session_.AddOption(std::wstring_view(L"/v"), std::wstring_view(value), true);
    }

    session_.Set(BillboardType, session_.GetSetupIniString(L"Startup", L"BillboardType", L"0"));

    if (state.installMode == ModeInstall)
        state.installMode = static_cast<int>(session_.GetSetupIniInt(L"Startup", L"Mode", 0, 10));

    const std::wstring dotNet = session_.GetSetupIniString(L"Startup", L"DotNetVersion", L"");
    session_.Set(DotNetVersion, dotNet);
    if (dotNet.size() >= 4) {
        if (ov::istarts_with(dotNet, L"1.0"))
            state.dotNet10 = true;
        else if (ov::istarts_with(dotNet, L"1.1") || ov::istarts_with(dotNet, L"v1.1"))
            state.dotNet11 = true;
        else if (ov::istarts_with(dotNet, L"2.0") || ov::istarts_with(dotNet, L"v2.0"))
            state.dotNet20 = true;
        state.dotNetServicePack = static_cast<long>(
            session_.GetSetupIniInt(L"Startup", L"DotNetSPRequired", static_cast<unsigned long>(-1), 10));
    }
    return true;
}

bool DiskAction::SelectEngineVersion()
{
    const auto& table = session_.SetupIniTable();
    if (!table.has_section(L"MsiVersion"))
        return true;
    std::vector<std::wstring> keys = table.get_keys(L"MsiVersion");
    if (keys.empty())
        return true;
    // Highest version first; equal versions keep their order.
    std::stable_sort(keys.begin(), keys.end(),
                     [](const std::wstring& a, const std::wstring& b) { return CompareVersions(a, b) < 0; });
    for (const auto& version : keys) {
        session_.Set(EngineVersion, version);
        const std::wstring list = session_.GetSetupIniString(L"MsiVersion", version, L"");
        if (match_os_list(session_, list))
            break;
    }
    log_message(OV_HERE, L"Required Windows Installer version: %s", session_.Get(EngineVersion));
    return !session_.Get(EngineVersion).empty();
}

bool LoadLauncherSetupIni(ov::profilefilex& table)
{
    const std::wstring self = launcher_module_path();
    STREAM payload(self);
    if (payload.HasEntry(kSetupIniName)) {
        wchar_t temp[MAX_PATH + 1] = {};
        wchar_t file[MAX_PATH + 1] = {};
        const DWORD n = ::GetTempPathW(MAX_PATH + 1, temp);
        if (n == 0 || n > MAX_PATH || !::GetTempFileNameW(temp, L"~", 0, file))
            return false;
        ov::scope_exit remove([&file] { ::DeleteFileW(file); });
        return payload.ExtractEntry(kSetupIniName, file, nullptr) && table.load(file);
    }
    const std::wstring path = Process().SetupIniPath.empty() ? ov::path::join(ov::path::folder_of(self), kSetupIniName)
                                                             : Process().SetupIniPath;
    return table.load(path);
}

std::wstring ReadSetupIniValue(const ov::profilefilex& table, std::wstring_view section, std::wstring_view key,
                               std::size_t size)
{
    std::wstring value = table.get_value(section, key).value_or(std::wstring());
    if (size > 0 && value.size() >= size)
        value.resize(size - 1);
    return value;
}

std::wstring ReadSetupIniValue(std::wstring_view section, std::wstring_view key, std::size_t size)
{
    ov::profilefilex table;
    if (!LoadLauncherSetupIni(table))
        return {};
    return ReadSetupIniValue(table, section, key, size);
}
