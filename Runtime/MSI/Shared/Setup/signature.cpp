#include "signature.h"

#include "errordialog.h"
#include "exitcodes.h"
#include "paths.h"
#include "payloadformat.h"
#include "processstate.h"
#include "resource.h"
#include "session.h"
#include "setupcontext.h"
#include "setuplog.h"
#include "trustlogic.h"
#include "utils.h"

static_assert(ov::trust::verification_failed == exit_code::signature_not_trusted);
static_assert(ov::trust::verification_failed == IDS_SIGNATURE_FAILED);
static_assert(ov::trust::provider_missing == IDS_SIGNATURE_UNAVAILABLE);

namespace {

constexpr wchar_t kCertificateKey[] = L"CertKey";

void report_extraction_failure(Session& session, const std::wstring& target)
{
    Process().SetupResult = exit_code::extraction_failed;
    ErrorDialog(session.Context()).show_error_text(ov::format(session.Context().LoadString(IDS_EXTRACT_ERROR), target));
}

} // namespace

bool find_certificate(Session& session, std::wstring_view fileKey, std::wstring& certificatePath)
{
    certificatePath.clear();
    const std::wstring name = session.GetSetupIniString(fileKey, kCertificateKey, L"");
    if (name.empty())
        return true;
    const std::wstring target = ov::path::join(Process().TempFolder, name);
    // The value names a payload entry; anything with folders, "..", a drive
    // or a device would point outside the temporary folder.
    if (!ov::payload::is_safe_entry_name(name)) {
        log_message(OV_HERE, L"Certificate key '%s' of '%s' is no plain file name", name, fileKey);
        report_extraction_failure(session, target);
        return false;
    }
    log_message(OV_HERE, L"Certificate key for '%s' is '%s'", fileKey, name);
    if (!session.ExtractFile(name, true, true, std::nullopt, true))
        return false;
    // In a run that extracts nothing (a continuation) the key must already be there.
    if (!FileExists(target)) {
        report_extraction_failure(session, target);
        return false;
    }
    certificatePath = target;
    return true;
}

int verify_file(ov::trust_provider& provider, std::wstring_view file, std::wstring_view certificate, bool silent,
                HWND owner) noexcept
{
    using namespace ov::trust;
    const strict_outcome strict = provider.strict_check(file, certificate);
    log_message(OV_HERE, L"Strict signature check of '%s': %s", file, describe(strict));
    std::optional<legacy_outcome> legacy;
    if (legacy_check_due(strict, silent)) {
        legacy = provider.legacy_check(owner, file);
        log_message(OV_HERE, L"Authenticode check of '%s': %s", file, describe(*legacy));
    }
    return verification_result(strict, silent, legacy);
}

int verify_file(std::wstring_view file, std::wstring_view certificate, bool silent, HWND owner) noexcept
{
    return verify_file(ov::system_trust(), file, certificate, silent, owner);
}

bool verify_signed_file(SetupContext& context, ov::trust_provider& provider, std::wstring_view file,
                        std::wstring_view certificate, bool separateProcess)
{
    const bool silent = !context.Interactive();
    int result = ov::trust::verification_failed;
    if (separateProcess) {
        result = LaunchAndWait(ov::trust::separate_check_command(context.LauncherPath(), file, certificate, silent),
                               SW_SHOWNORMAL);
    } else {
        // The dialog of the system's check belongs to the setup dialog, the
        // active window of this thread while it is shown.
        result = verify_file(provider, file, certificate, silent, ::GetActiveWindow());
    }
    log_message(OV_HERE, L"Signature verification of '%s' against '%s': %d", file, certificate, result);

    const auto report = ov::trust::report_for(result, silent);
    if (!report)
        return true;
    Process().SetupResult = report->setup_result;
    if (report->show)
        ErrorDialog(context).show_error(report->message_id, ov::path::file_name_of(file));
    return false;
}

bool verify_signed_file(SetupContext& context, std::wstring_view file, std::wstring_view certificate,
                        bool separateProcess)
{
    return verify_signed_file(context, ov::system_trust(), file, certificate, separateProcess);
}

bool CheckCertificateKey(Session& session, std::wstring_view fileKey, std::wstring_view filePath, bool separateProcess)
{
    std::wstring certificate;
    const bool found = find_certificate(session, fileKey, certificate);
    if (found && certificate.empty())
        return true;
    if (found && verify_signed_file(session.Context(), filePath, certificate, separateProcess))
        return true;
    // Not verified: the file must not be taken up later.
    const std::wstring path(filePath);
    if (!Process().TempFolder.empty() && ov::path::is_within(path, Process().TempFolder) && ::DeleteFileW(path.c_str()))
        log_message(OV_HERE, L"Deleted '%s': its signature was not verified", path);
    return false;
}

int RunSignatureCheck(SetupContext& context, ov::trust_provider& provider, const SignatureCheckArgs& args)
{
    context.SetSilent(args.silent);
    log_message(OV_HERE, L"Checking the signature of '%s' against '%s'%s", args.file, args.second,
                args.silent ? L" (silent)" : L"");
    const int result = verify_file(provider, args.file, args.second, args.silent, nullptr);
    log_message(OV_HERE, L"Signature check result %d", result);
    return result;
}

int RunSignatureCheck(SetupContext& context, const SignatureCheckArgs& args)
{
    return RunSignatureCheck(context, ov::system_trust(), args);
}
