// Authenticode checks through the Windows trust provider. "wintrust.dll" and
// "crypt32.dll" are bound by name at run time, from the system folder only,
// and stay loaded for the duration of one check. The interface is the seam
// through which tests stand in for answers the platform cannot give them
// (the user's choice in the system's Authenticode dialog, say).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "trustlogic.h"

namespace ov {

class trust_provider {
public:
    virtual ~trust_provider() = default;

    // The strict check: the provider's verdict on the file's signature
    // without any user interface (action WINTRUST_ACTION_GENERIC_VERIFY_V2,
    // no revocation checks), then the first signer's certificate against the
    // serialized certificate in `certificatePath`.
    [[nodiscard]] virtual trust::strict_outcome strict_check(std::wstring_view file,
                                                             std::wstring_view certificatePath) noexcept = 0;

    // The legacy check: the system's Authenticode check of the file (action
    // WIN_SPUB_ACTION_PUBLISHED_SOFTWARE), whose dialog is owned by `owner`.
    [[nodiscard]] virtual trust::legacy_outcome legacy_check(HWND owner, std::wstring_view file) noexcept = 0;
};

// The system's provider.
class system_trust_provider final : public trust_provider {
public:
    system_trust_provider() = default;
    // Other library names, looked up in the system folder like the real ones
    // (a name that is not there stands for a system without the library).
    system_trust_provider(std::wstring wintrustName, std::wstring crypt32Name)
        : wintrust_(std::move(wintrustName)), crypt32_(std::move(crypt32Name))
    {
    }

    [[nodiscard]] trust::strict_outcome strict_check(std::wstring_view file,
                                                     std::wstring_view certificatePath) noexcept override;
    [[nodiscard]] trust::legacy_outcome legacy_check(HWND owner, std::wstring_view file) noexcept override;

private:
    std::wstring wintrust_ = L"wintrust.dll";
    std::wstring crypt32_ = L"crypt32.dll";
};

// The provider the launcher uses.
[[nodiscard]] trust_provider& system_trust() noexcept;

// Loads a library of the system folder by its full path, so that a file of
// the same name beside the launcher (a download folder) is never loaded.
[[nodiscard]] HMODULE load_system_library(std::wstring_view name) noexcept;

} // namespace ov
