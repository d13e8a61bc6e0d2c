#include "fileretrieval.h"

#include "errordialog.h"
#include "ov_format.h"
#include "ov_string.h"
#include "paths.h"
#include "processstate.h"
#include "resource.h"
#include "session.h"
#include "setupcontext.h"
#include "setuplog.h"

#include <windows.h>

namespace {

constexpr int kFileNotFound = 1155;

bool file_exists(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool report_missing(Session& session, const std::wstring& path, bool showErrors)
{
    Process().SetupResult = kFileNotFound;
    if (showErrors)
        ErrorDialog(session.Context())
            .show_error_text(ov::format(session.Context().LoadString(IDS_FILE_NOT_FOUND), path));
    return false;
}

// Web downloads are done by the download manager; a launcher without one
// cannot fetch the file and says so.
bool download_unavailable(Session& session, const std::wstring& url, bool showErrors)
{
    log_message(OV_HERE, L"DownloadFiles: downloading %s", url);
    log_message(OV_HERE, L"DownloadFiles: %s", ov::format(session.Context().LoadString(IDS_DOWNLOAD_ERROR), url));
    return report_missing(session, url, showErrors);
}

} // namespace

bool ExtractFromPayload(Session& session, std::wstring_view name, std::wstring& target, bool showErrors)
{
    (void)session.ExtractFile(name, false, true, std::nullopt, true);
    target = ov::path::join(Process().TempFolder, name);
    if (file_exists(target))
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
        if (!session.State().sourceKey || file_exists(path))
            return true;
        return report_missing(session, path, showErrors);

    case LocationPayload:
        log_message(OV_HERE, L"Getting file from setup.exe");
        return ExtractFromPayload(session, source, path, showErrors);

    case LocationWebDownload:
        log_message(OV_HERE, L"Getting file from web download");
        (void)verifySignatures;
        return download_unavailable(session, source, showErrors);

    case LocationWebInstall:
        log_message(OV_HERE, L"Getting file from web install");
        if (session.GetSetupIniInt(L"Startup", L"ScriptDriven", 0, 10) == 1)
            return download_unavailable(session, source, showErrors);
        // The Windows Installer reads the package from the address itself.
        path = source;
        return true;

    case LocationTemp:
        path = ov::path::join(Process().TempFolder, fileName);
        log_message(OV_HERE, L"Getting file from temp location, '%s'", path);
        if (file_exists(path))
            return true;
        return report_missing(session, path, showErrors);

    default:
        return true;
    }
}
