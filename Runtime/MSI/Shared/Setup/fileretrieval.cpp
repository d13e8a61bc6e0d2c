#include "fileretrieval.h"

#include "deleteaction.h"
#include "diskaction.h"
#include "download.h"
#include "errordialog.h"
#include "exitcodes.h"
#include "ov_handles.h"
#include "setupdialoglink.h"
#include "signature.h"
#include "ov_format.h"
#include "ov_string.h"
#include "paths.h"
#include "processstate.h"
#include "resource.h"
#include "session.h"
#include "setupcontext.h"
#include "setuplog.h"
#include "utils.h"

#include <windows.h>

#include <vector>

namespace {

constexpr int kFileNotFound = 1155;
constexpr int kWinInetTooOld = 1643;

bool report_missing(Session& session, const std::wstring& path, bool showErrors)
{
    Process().SetupResult = kFileNotFound;
    if (showErrors)
        ErrorDialog(session.Context())
            .show_error_text(ov::format(session.Context().LoadString(IDS_FILE_NOT_FOUND), path));
    return false;
}

struct DownloadEntry {
    std::wstring url;
    std::wstring name; // also the name of its setup.ini section
    std::wstring target;
};

} // namespace

static bool DownloadFiles(Session& session, std::vector<DownloadEntry>& entries, bool verify, bool keepTargets,
                          bool showErrors)
{
    SetupContext& context = session.Context();
    if (!IsWinInetRecentEnough()) {
        Process().SetupResult = kWinInetTooOld;
        if (showErrors)
            ErrorDialog(context).show_message(IDS_WININET_TOO_OLD);
        return false;
    }
    SetupDialogDownloadMode(true);
    ov::scope_exit downloadModeOff([] { SetupDialogDownloadMode(false); });

    for (size_t i = 0; i < entries.size(); ++i) {
        DownloadEntry& entry = entries[i];
        log_message(OV_HERE, L"DownloadFiles: downloading %s", entry.url);
        if (!keepTargets)
            entry.target = ov::path::join(Process().TempFolder, ov::path::url_file_name(entry.url));
        const std::wstring status =
            entries.size() < 2 ? ov::format(context.LoadString(IDS_DOWNLOADING), entry.name) : [&] {
                const std::wstring inserts[] = {entry.name, std::to_wstring(i + 1), std::to_wstring(entries.size())};
                return ov::format_inserts(context.LoadString(IDS_DOWNLOADING_N_OF_M), inserts, 3);
            }();
        session.SetStatusMessage(status);

        for (;;) {
            HRESULT result = S_OK;
            if (DownloadUrlToFile(entry.url, entry.target, nullptr, result))
                break;
            // The download manager writes under a temporary name and moves
            // the file into place only when complete: nothing partial is
            // ever under the target name.
            if (Process().Cancelled || result == HRESULT_FROM_WIN32(ERROR_CANCELLED))
                return false;
            Process().SetupResult = static_cast<std::int32_t>(result);
            if (!AskRetryDownload(context, entry.url))
                return false;
        }
        (void)DeleteAction::AddFile(entry.target);
        if (Process().Cancelled)
            return false;
        if (verify && !CheckCertificateKey(session, entry.name, entry.target, false))
            return false;
    }
    return true;
}

bool DownloadOne(Session& session, const std::wstring& url, std::wstring_view fileName, std::wstring& target,
                 bool verify, bool keepTarget, bool showErrors)
{
    std::vector<DownloadEntry> entries{{url, std::wstring(fileName), target}};
    if (!DownloadFiles(session, entries, verify, keepTarget, showErrors))
        return false;
    target = entries.front().target;
    return true;
}

namespace {

// CabsSize: "upper;lower" halves of the bytes the cabinets need.
bool has_room_for(Session& session, const std::wstring& sizes)
{
    const auto halves = ov::split(sizes, L';');
    const std::uint64_t upper = halves.empty() ? 0 : ov::parse_ulong(halves[0], 10);
    const std::uint64_t lower = halves.size() > 1 ? ov::parse_ulong(halves[1], 10) : 0;
    const std::uint64_t needed = (upper << 32) | (lower & 0xFFFFFFFFu);
    std::uint32_t freeKb = 0;
    if (get_free_space_kb(Process().TempFolder, freeKb) && std::uint64_t{freeKb} * 1024 > needed)
        return true;
    Process().SetupResult = exit_code::not_enough_disk_space;
    const std::wstring drive = ov::path::drive_of(Process().TempFolder) + L"\\";
    ErrorDialog(session.Context())
        .show_error_text(
            ov::format(session.Context().LoadString(IDS_DISK_SPACE), static_cast<unsigned long>(needed >> 10), drive));
    return false;
}

} // namespace

bool ExtractFromPayload(Session& session, std::wstring_view name, std::wstring& target, bool showErrors)
{
    (void)session.ExtractFile(name, false, true, std::nullopt, true);
    target = ov::path::join(Process().TempFolder, name);
    if (FileExists(target))
        return true;
    return report_missing(session, target, showErrors);
}

bool GetFile(Session& session, std::wstring_view fileName, std::wstring_view section, std::wstring& path,
             bool useGivenUrl, int& location, bool verifySignatures, bool showErrors)
{
    log_message(OV_HERE, L"GetFile: file '%s', ini section '%s', full path '%s', location %d", fileName, section, path,
                location);
    std::wstring source;
    if (useGivenUrl) {
        source = path;
        location = LocationWebDownload;
    } else {
        location = static_cast<int>(session.GetSetupIniInt(section, L"Type", 0, 10));
        source = session.GetSetupIniString(section, L"Location", fileName);
        if (source.empty())
            source.assign(fileName);
    }
    log_message(OV_HERE, L"File to get to '%s'", source);

    switch (location) {
    case LocationSource:
        path = ov::path::join(session.State().tempDisk1Folder, source);
        log_message(OV_HERE, L"Getting file from source, '%s'", path);
        if (!session.State().sourceKey || FileExists(path))
            return true;
        return report_missing(session, path, showErrors);

    case LocationPayload:
        log_message(OV_HERE, L"Getting file from setup.exe");
        return ExtractFromPayload(session, source, path, showErrors);

    case LocationWebDownload: {
        log_message(OV_HERE, L"Getting file from web download");
        std::vector<DownloadEntry> entries{{source, std::wstring(fileName), std::wstring()}};
        if (ov::iequals(section, session.Get(PackageName))) {
            const std::wstring sectionText(section);
            ov::profilefilex launcherIni;
            (void)LoadLauncherSetupIni(launcherIni);
            for (int n = 0;; ++n) {
                const std::wstring cab = ReadSetupIniValue(launcherIni, sectionText, ov::format(L"Cab%d", n), 1024);
                if (cab.empty())
                    break;
                entries.push_back({cab, ov::path::url_file_name(cab), std::wstring()});
            }
            const std::wstring sizes = ReadSetupIniValue(launcherIni, sectionText, L"CabsSize", 1024);
            if (!sizes.empty() && !has_room_for(session, sizes))
                return false;
        }
        if (!DownloadFiles(session, entries, verifySignatures, false, showErrors))
            return false;
        path = entries.front().target;
        return true;
    }

    case LocationWebInstall:
        log_message(OV_HERE, L"Getting file from web install");
        if (session.GetSetupIniInt(L"Startup", L"ScriptDriven", 0, 10) == 1) {
            if (!DownloadOne(session, source, fileName, path, true, false, true))
                return false;
            session.AddOption(std::wstring_view(L"/URL"), std::wstring_view(source), true);
            return true;
        }
        // The Windows Installer reads the package from the address itself.
        path = source;
        return true;

    case LocationTemp:
        path = ov::path::join(Process().TempFolder, fileName);
        log_message(OV_HERE, L"Getting file from temp location, '%s'", path);
        if (FileExists(path))
            return true;
        return report_missing(session, path, showErrors);

    default:
        return true;
    }
}
