// FetchEngine: getting the engine redistributable that CheckEngine asked for,
// from wherever setup.ini (or /ua, /uw) says it is.
#include "engine.h"

#include "errordialog.h"
#include "fileretrieval.h"
#include "ov_format.h"
#include "processstate.h"
#include "resource.h"
#include "session.h"
#include "setupcontext.h"
#include "setupdialoglink.h"
#include "setuplog.h"
#include "utils.h"

#include <windows.h>

namespace {

void report_not_found(Session& session, const std::wstring& where)
{
    Process().SetupResult = kEngineMessageNotFound;
    const SetupContext& context = session.Context();
    ErrorDialog(context).show_error_text(ov::format(context.LoadString(IDS_INSTALLER_NOT_FOUND), where));
}

// One retrieval; `url` (may be empty) is the download address to use.
bool get(Session& session, const std::wstring& name, const std::wstring& url, std::wstring& path, int& location,
         bool showErrors)
{
    path = url;
    // A redistributable runs with the user's full rights: a download is
    // checked against its certificate key whenever setup.ini names one.
    return GetFile(session, name, name, path, !url.empty(), location, true, showErrors);
}

} // namespace

bool FetchEngine(Session& session, std::wstring& path, int& location) noexcept
{
    try {
        log_message(OV_HERE, L"MSI 3.1 to be installed, was not installed with redist package");
        const std::int32_t resultBefore = Process().SetupResult;
        const EngineRedistributable redist =
            ChooseEngineRedistributable(session.State().os.kind, session.Get(EngineVersion));
        std::wstring got;
        int where = 0;

        if (redist.name.empty()) {
            log_message(OV_HERE, L"No MSI engine redistributable for system kind %u", session.State().os.kind);
            report_not_found(session, L"");
            CloseSetupDialog();
            return false;
        }
        if (redist.windows9x) {
            if (!get(session, redist.name, session.Get(InstMsiAUrl), got, where, true)) {
                Process().SetupResult = kEngineMessageNotFound;
                CloseSetupDialog();
                return false;
            }
        } else {
            SetupDialogDownloadMode(true);
            log_message(OV_HERE, L"Attempting to get file '%s' for MSI engine install", redist.name);
            bool ok = get(session, redist.name, session.Get(InstMsiWUrl), got, where, false);
            bool errorsShown = false;
            if (!ok) {
                log_message(OV_HERE, L"Failed to get file");
                if (!redist.fallback.empty()) {
                    log_message(OV_HERE, L"Attempting to get MSI 3.0 redist instead");
                    ok = get(session, redist.fallback, L"", got, where, true);
                    errorsShown = true;
                }
            }
            if (!ok) {
                // With no second choice nothing has told the user yet why
                // the setup ends.
                if (!errorsShown)
                    report_not_found(session, got.empty() ? redist.name : got);
                Process().SetupResult = kEngineMessageNotFound;
                CloseSetupDialog();
                return false;
            }
            SetupDialogDownloadMode(false);
        }

        log_message(OV_HERE, L"Got file '%s' for MSI engine install", got);
        if (!FileExists(got)) {
            report_not_found(session, got);
            return false;
        }
        // A first choice that failed on the way must not stay the result.
        Process().SetupResult = resultBefore;
        path = got;
        location = where;
        return true;
    } catch (...) {
        Process().SetupResult = kEngineMessageNotFound;
        return false;
    }
}
