#include "trust.h"

#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cstring>
#include <vector>

#include "ov_handles.h"
#include "setuplog.h"

namespace ov {

namespace {

using WinVerifyTrustFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);
using ProvDataFromStateFn = CRYPT_PROVIDER_DATA*(WINAPI*)(HANDLE);
using ProvSignerFromChainFn = CRYPT_PROVIDER_SGNR*(WINAPI*)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
using ProvCertFromChainFn = CRYPT_PROVIDER_CERT*(WINAPI*)(CRYPT_PROVIDER_SGNR*, DWORD);
using AddSerializedElementFn = BOOL(WINAPI*)(HCERTSTORE, const BYTE*, DWORD, DWORD, DWORD, DWORD, DWORD*, const void**);
using CompareCertificateFn = BOOL(WINAPI*)(DWORD, PCERT_INFO, PCERT_INFO);
using FreeCertificateContextFn = BOOL(WINAPI*)(PCCERT_CONTEXT);

// {00AAC56B-CD44-11D0-8CC2-00C04FC295EE}
const GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;
// {64B9D180-8DA2-11CF-8736-00AA00A485EB}
const GUID kPublishedSoftware = WIN_SPUB_ACTION_PUBLISHED_SOFTWARE;
// {43C9A1E0-8DA0-11CF-8736-00AA00A485EB}
const GUID kSubjectPeImage = WIN_TRUST_SUBJTYPE_PE_IMAGE;

template <typename F>
F bind(HMODULE module, const char* name) noexcept
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// "wintrust.dll" while one check runs.
struct wintrust_api {
    unique_hmodule module;
    WinVerifyTrustFn verify = nullptr;
    ProvDataFromStateFn prov_data = nullptr;
    ProvSignerFromChainFn signer = nullptr;
    ProvCertFromChainFn certificate = nullptr;

    explicit wintrust_api(std::wstring_view name) noexcept : module(load_system_library(name))
    {
        if (!module)
            return;
        verify = bind<WinVerifyTrustFn>(module.get(), "WinVerifyTrust");
        prov_data = bind<ProvDataFromStateFn>(module.get(), "WTHelperProvDataFromStateData");
        signer = bind<ProvSignerFromChainFn>(module.get(), "WTHelperGetProvSignerFromChain");
        certificate = bind<ProvCertFromChainFn>(module.get(), "WTHelperGetProvCertFromChain");
    }
    [[nodiscard]] bool usable() const noexcept { return verify != nullptr; }
    [[nodiscard]] bool helpers() const noexcept { return prov_data && signer && certificate; }
};

// "crypt32.dll" while one check runs.
struct crypt32_api {
    unique_hmodule module;
    AddSerializedElementFn add_serialized = nullptr;
    CompareCertificateFn compare = nullptr;
    FreeCertificateContextFn free_context = nullptr;

    explicit crypt32_api(std::wstring_view name) noexcept : module(load_system_library(name))
    {
        if (!module)
            return;
        add_serialized = bind<AddSerializedElementFn>(module.get(), "CertAddSerializedElementToStore");
        compare = bind<CompareCertificateFn>(module.get(), "CertCompareCertificate");
        free_context = bind<FreeCertificateContextFn>(module.get(), "CertFreeCertificateContext");
    }
    [[nodiscard]] bool usable() const noexcept { return add_serialized && compare && free_context; }
};

// A certificate context released through the bound CertFreeCertificateContext.
class certificate_context {
public:
    certificate_context(PCCERT_CONTEXT context, FreeCertificateContextFn free) noexcept : context_(context), free_(free)
    {
    }
    ~certificate_context()
    {
        if (context_)
            free_(context_);
    }
    certificate_context(const certificate_context&) = delete;
    certificate_context& operator=(const certificate_context&) = delete;
    [[nodiscard]] PCCERT_CONTEXT get() const noexcept { return context_; }

private:
    PCCERT_CONTEXT context_;
    FreeCertificateContextFn free_;
};

// The provider's state of one verification: closed (state action "close")
// when the check ends, whatever the verification answered.
class verification_state {
public:
    verification_state(WinVerifyTrustFn verify, WINTRUST_DATA& data) noexcept : verify_(verify), data_(data) {}
    ~verification_state()
    {
        if (!data_.hWVTStateData)
            return;
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        GUID action = kGenericVerifyV2;
        (void)verify_(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
    }
    verification_state(const verification_state&) = delete;
    verification_state& operator=(const verification_state&) = delete;

private:
    WinVerifyTrustFn verify_;
    WINTRUST_DATA& data_;
};

// The whole certificate file, at most max_certificate_file bytes; empty when
// it cannot be read, is empty or is larger.
std::vector<BYTE> read_certificate_file(const std::wstring& path)
{
    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        log_message(OV_HERE, L"Cannot open the certificate file '%s' (error %u)", path,
                    static_cast<unsigned>(::GetLastError()));
        return {};
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        static_cast<unsigned long long>(size.QuadPart) > trust::max_certificate_file) {
        log_message(OV_HERE, L"The certificate file '%s' is empty, too large or of unknown size", path);
        return {};
    }
    std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    if (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size()) {
        log_message(OV_HERE, L"Cannot read the certificate file '%s'", path);
        return {};
    }
    return bytes;
}

// Same certificate: CertCompareCertificate (issuer and serial number) and the
// same encoded bytes. Issuer and serial alone can be copied into a
// certificate of another key, and a provider that does not insist on a
// trusted root (Wine's) would then trust it.
bool same_certificate(const crypt32_api& crypt, PCCERT_CONTEXT carried, PCCERT_CONTEXT signer) noexcept
{
    if (!crypt.compare(X509_ASN_ENCODING, carried->pCertInfo, signer->pCertInfo))
        return false;
    return carried->cbCertEncoded == signer->cbCertEncoded &&
           std::memcmp(carried->pbCertEncoded, signer->pbCertEncoded, carried->cbCertEncoded) == 0;
}

} // namespace

HMODULE load_system_library(std::wstring_view name) noexcept
{
    try {
        wchar_t folder[MAX_PATH + 1] = {};
        const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH + 1);
        if (n == 0 || n > MAX_PATH)
            return nullptr;
        std::wstring path(folder, n);
        if (path.back() != L'\\')
            path.push_back(L'\\');
        path.append(name);
        const error_mode_guard quiet;
        return ::LoadLibraryW(path.c_str());
    } catch (...) {
        return nullptr;
    }
}

trust::strict_outcome system_trust_provider::strict_check(std::wstring_view file,
                                                          std::wstring_view certificatePath) noexcept
{
    using trust::strict_outcome;
    try {
        const wintrust_api trust(wintrust_);
        if (!trust.usable()) {
            log_message(OV_HERE, L"Signature check: %s", trust::describe(strict_outcome::provider_missing));
            return strict_outcome::provider_missing;
        }

        const std::wstring path(file);
        WINTRUST_FILE_INFO info = {};
        info.cbStruct = sizeof info;
        info.pcwszFilePath = path.c_str();
        WINTRUST_DATA data = {};
        data.cbStruct = sizeof data;
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &info;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        GUID action = kGenericVerifyV2;
        const LONG answer = trust.verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
        const verification_state state(trust.verify, data);
        log_message(OV_HERE, L"Signature check of '%s': WinVerifyTrust answered 0x%08x", path,
                    static_cast<unsigned>(answer));
        if (!trust::is_trusted_answer(answer))
            return strict_outcome::not_trusted;

        CRYPT_PROVIDER_CERT* signer = nullptr;
        if (trust.helpers()) {
            if (CRYPT_PROVIDER_DATA* provider = trust.prov_data(data.hWVTStateData))
                if (CRYPT_PROVIDER_SGNR* first = trust.signer(provider, 0, FALSE, 0))
                    signer = trust.certificate(first, 0);
        }
        if (!signer || !signer->pCert || !signer->pCert->pCertInfo)
            return strict_outcome::no_signer;

        const crypt32_api crypt(crypt32_);
        if (!crypt.usable()) {
            log_message(OV_HERE, L"Signature check: %s", trust::describe(strict_outcome::crypto_missing));
            return strict_outcome::crypto_missing;
        }
        const std::wstring certificateFile(certificatePath);
        const std::vector<BYTE> bytes = read_certificate_file(certificateFile);
        if (bytes.empty())
            return strict_outcome::certificate_unreadable;
        // Only a certificate element is accepted: a CRL or CTL element would
        // come back as another kind of context.
        const void* added = nullptr;
        DWORD type = 0;
        if (!crypt.add_serialized(nullptr, bytes.data(), static_cast<DWORD>(bytes.size()), CERT_STORE_ADD_ALWAYS, 0,
                                  CERT_STORE_CERTIFICATE_CONTEXT_FLAG, &type, &added) ||
            !added) {
            log_message(OV_HERE, L"'%s' holds no serialized certificate (error 0x%08x)", certificateFile,
                        static_cast<unsigned>(::GetLastError()));
            return strict_outcome::certificate_unreadable;
        }
        const certificate_context carried(static_cast<PCCERT_CONTEXT>(added), crypt.free_context);
        if (type != CERT_STORE_CERTIFICATE_CONTEXT || !carried.get()->pCertInfo)
            return strict_outcome::certificate_unreadable;
        const bool same = same_certificate(crypt, carried.get(), signer->pCert);
        log_message(OV_HERE, L"Signer certificate %s the certificate '%s'", same ? L"matches" : L"differs from",
                    certificateFile);
        return same ? strict_outcome::passed : strict_outcome::certificate_mismatch;
    } catch (...) {
        return strict_outcome::not_trusted;
    }
}

trust::legacy_outcome system_trust_provider::legacy_check(HWND owner, std::wstring_view file) noexcept
{
    using trust::legacy_outcome;
    try {
        const wintrust_api trust(wintrust_);
        if (!trust.usable()) {
            log_message(OV_HERE, L"Authenticode check: %s", trust::describe(legacy_outcome::provider_missing));
            return legacy_outcome::provider_missing;
        }
        const std::wstring path(file);
        WIN_TRUST_SUBJECT_FILE subject = {};
        subject.hFile = nullptr;
        subject.lpPath = path.c_str();
        GUID subjectType = kSubjectPeImage;
        WIN_TRUST_ACTDATA_CONTEXT_WITH_SUBJECT data = {};
        data.hClientToken = nullptr;
        data.SubjectType = &subjectType;
        data.Subject = &subject;
        GUID action = kPublishedSoftware;
        const LONG answer = trust.verify(owner, &action, &data);
        log_message(OV_HERE, L"Authenticode check of '%s': WinVerifyTrust answered 0x%08x", path,
                    static_cast<unsigned>(answer));
        return trust::is_trusted_answer(answer) ? legacy_outcome::accepted : legacy_outcome::refused;
    } catch (...) {
        return legacy_outcome::fault;
    }
}

trust_provider& system_trust() noexcept
{
    static system_trust_provider provider;
    return provider;
}

} // namespace ov
