// The decisions of the signature check that need no Windows: what the strict
// and the legacy Authenticode checks answer in the launcher's terms, the
// verification result they make together, what a failed result does to the
// run, and the command line of the check in a separate launcher process. The
// Windows module (trust.cpp) and the launcher's signature step only carry
// these out, so everything here is tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ov::trust {

// Verification results (also the exit codes of the separate check).
inline constexpr int verified = 0;
inline constexpr int verification_failed = 1621;
inline constexpr int provider_missing = 1642;

// A serialized certificate is a few kilobytes; a larger certificate file is
// not read at all.
inline constexpr std::size_t max_certificate_file = 1024 * 1024;

// What the strict check found: the trust provider without a user interface,
// then the signer's certificate against the certificate the package carries.
enum class strict_outcome {
    passed,                 // trusted, and the signer's certificate is the carried one
    not_trusted,            // the provider did not trust the signature (or the file)
    no_signer,              // trusted, but the provider named no signer certificate
    certificate_unreadable, // the carried certificate cannot be read or is no certificate
    certificate_mismatch,   // the signer's certificate is another one
    crypto_missing,         // the certificate library or one of its functions is missing
    provider_missing,       // the trust library or its WinVerifyTrust is missing
};

// What the legacy check (the system's Authenticode check with its dialog)
// answered.
enum class legacy_outcome {
    accepted,         // the provider answered 0 (the user accepted)
    refused,          // any other answer
    provider_missing, // the trust library or its WinVerifyTrust is missing
    fault,            // the call itself failed
};

// True only for the provider's "trusted" answer (ERROR_SUCCESS). A positive
// Windows error code is no success: Wine answers 2 for a missing file.
[[nodiscard]] constexpr bool is_trusted_answer(long answer) noexcept
{
    return answer == 0;
}

// Whether the legacy check runs after the strict one: only when the strict
// check failed and a user is present.
[[nodiscard]] bool legacy_check_due(strict_outcome strict, bool silent) noexcept;

// The verification result: 0 when the strict check passed; 1621 when it
// failed silently; otherwise from the legacy check (0 accepted, 1642 no
// provider, 1621 otherwise, also when no legacy answer is given).
[[nodiscard]] int verification_result(strict_outcome strict, bool silent,
                                      std::optional<legacy_outcome> legacy) noexcept;

// What a failed verification does to the run.
struct failure_report {
    std::int32_t setup_result; // the launcher's new result code
    unsigned message_id;       // the string shown with the file's name
    bool show;                 // false in silent runs
};
// Nothing for a trusted file (result 0). Silent: result code 1621, nothing
// shown. Otherwise the result code and the message of the result: 1642 for a
// missing provider, 1621 for every other failure (a separate check that
// crashed or could not start answers no verification result of its own).
[[nodiscard]] std::optional<failure_report> report_for(int result, bool silent) noexcept;

// The separate check's command line: the launcher's path in quotes (an
// unquoted path with blanks would let CreateProcess try its prefixes as
// programs), " /g ", the file, " /g ", the certificate and " /s" when silent.
[[nodiscard]] std::wstring separate_check_command(std::wstring_view launcher, std::wstring_view file,
                                                  std::wstring_view certificate, bool silent);

// A short name of an outcome, for the setup log.
[[nodiscard]] const wchar_t* describe(strict_outcome outcome) noexcept;
[[nodiscard]] const wchar_t* describe(legacy_outcome outcome) noexcept;

} // namespace ov::trust
