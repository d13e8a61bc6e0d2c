#include "trustlogic.h"

namespace ov::trust {

bool legacy_check_due(strict_outcome strict, bool silent) noexcept
{
    return strict != strict_outcome::passed && !silent;
}

int verification_result(strict_outcome strict, bool silent, std::optional<legacy_outcome> legacy) noexcept
{
    if (strict == strict_outcome::passed)
        return verified;
    if (silent || !legacy)
        return verification_failed;
    switch (*legacy) {
    case legacy_outcome::accepted:
        return verified;
    case legacy_outcome::provider_missing:
        return provider_missing;
    case legacy_outcome::refused:
    case legacy_outcome::fault:
        break;
    }
    return verification_failed;
}

std::optional<failure_report> report_for(int result, bool silent) noexcept
{
    if (result == verified)
        return std::nullopt;
    if (silent)
        return failure_report{verification_failed, static_cast<unsigned>(verification_failed), false};
    const int code = result == provider_missing ? provider_missing : verification_failed;
    return failure_report{code, static_cast<unsigned>(code), true};
}

std::wstring separate_check_command(std::wstring_view launcher, std::wstring_view file, std::wstring_view certificate,
                                    bool silent)
{
    std::wstring command;
    command.reserve(launcher.size() + file.size() + certificate.size() + 16);
    command.push_back(L'"');
    command.append(launcher);
    command.append(L"\" /g ");
    command.append(file);
    command.append(L" /g ");
    command.append(certificate);
    if (silent)
        command.append(L" /s");
    return command;
}

const wchar_t* describe(strict_outcome outcome) noexcept
{
    switch (outcome) {
    case strict_outcome::passed:
        return L"trusted, signer certificate matches";
    case strict_outcome::not_trusted:
        return L"signature not trusted";
    case strict_outcome::no_signer:
        return L"no signer certificate";
    case strict_outcome::certificate_unreadable:
        return L"certificate file unreadable";
    case strict_outcome::certificate_mismatch:
        return L"signer certificate differs";
    case strict_outcome::crypto_missing:
        return L"crypt32.dll or a function of it missing";
    case strict_outcome::provider_missing:
        return L"wintrust.dll or WinVerifyTrust missing";
    }
    return L"unknown";
}

const wchar_t* describe(legacy_outcome outcome) noexcept
{
    switch (outcome) {
    case legacy_outcome::accepted:
        return L"accepted";
    case legacy_outcome::refused:
        return L"refused";
    case legacy_outcome::provider_missing:
        return L"wintrust.dll or WinVerifyTrust missing";
    case legacy_outcome::fault:
        return L"fault";
    }
    return L"unknown";
}

} // namespace ov::trust
