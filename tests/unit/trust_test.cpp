// The system's trust provider (WinTrust and Crypt32 of the Wine prefix)
// against real Authenticode signatures made in the test run with openssl and
// osslsigncode (tests/common/trust_fixtures.py).
#include <gtest/gtest.h>
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "trust.h"
#include "trust_test_support.h"

using ov::trust::legacy_outcome;
using ov::trust::strict_outcome;
using trust_test::fixture;

namespace {

const wchar_t* name_of(strict_outcome o)
{
    return ov::trust::describe(o);
}

} // namespace

// The certificate file the launcher carries is what CertSerializeCertificateStoreElement
// writes for a certificate context without properties: one element, header
// (property 32, encoding 1, length) and the DER bytes. The fixtures build it
// that way; Crypt32 must agree.
TEST(TrustFixtures, SerializedCertificateIsWhatCryptoApiWrites)
{
    for (const wchar_t* name : {L"signer", L"other"}) {
        const auto der = trust_test::bytes_of(fixture(std::wstring(name) + L".der"));
        ASSERT_FALSE(der.empty());
        PCCERT_CONTEXT context =
            ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
        ASSERT_NE(context, nullptr);
        DWORD size = 0;
        ASSERT_TRUE(::CertSerializeCertificateStoreElement(context, 0, nullptr, &size));
        std::vector<BYTE> serialized(size);
        ASSERT_TRUE(::CertSerializeCertificateStoreElement(context, 0, serialized.data(), &size));
        ::CertFreeCertificateContext(context);
        EXPECT_EQ(serialized, trust_test::bytes_of(fixture(std::wstring(name) + L".ser"))) << trust_test::narrow(name);
        EXPECT_EQ(serialized.size(), der.size() + 12);
    }
}

TEST(SystemTrustProvider, StrictCheckOfRealSignatures)
{
    const struct {
        const wchar_t* file;
        const wchar_t* certificate;
        strict_outcome expected;
    } cases[] = {
        {L"signed.exe", L"signer.ser", strict_outcome::passed},
        {L"signed-other.exe", L"other.ser", strict_outcome::passed},
        // Signed with another certificate than the carried one.
        {L"signed.exe", L"other.ser", strict_outcome::certificate_mismatch},
        {L"signed-other.exe", L"signer.ser", strict_outcome::certificate_mismatch},
        // No signature; one byte changed after signing; no file at all.
        {L"unsigned.exe", L"signer.ser", strict_outcome::not_trusted},
        {L"tampered.exe", L"signer.ser", strict_outcome::not_trusted},
        {L"no-such-file.exe", L"signer.ser", strict_outcome::not_trusted},
        // The carried certificate cannot be read or is no certificate.
        {L"signed.exe", L"no-such-certificate.ser", strict_outcome::certificate_unreadable},
        {L"signed.exe", L"garbage.ser", strict_outcome::certificate_unreadable},
        {L"signed.exe", L"signer.der", strict_outcome::certificate_unreadable},
        {L"signed.exe", L"crl.ser", strict_outcome::certificate_unreadable},
        // Same issuer name and serial number as the signer's, another key.
        {L"signed-impostor.exe", L"signer.ser", strict_outcome::certificate_mismatch},
        {L"signed.exe", L"impostor.ser", strict_outcome::certificate_mismatch},
    };
    ov::system_trust_provider provider;
    for (const auto& c : cases) {
        const auto outcome = provider.strict_check(fixture(c.file), fixture(c.certificate));
        EXPECT_EQ(outcome, c.expected) << trust_test::narrow(c.file) << " with " << trust_test::narrow(c.certificate)
                                       << ": " << trust_test::narrow(name_of(outcome));
    }
}

// The serialized CRL really is something else that a loose reading would
// accept, and the impostor really passes CertCompareCertificate: the checks
// above are about the launcher's care, not about broken material.
TEST(SystemTrustProvider, PremisesOfTheHostileCertificateFiles)
{
    const auto crl = trust_test::bytes_of(fixture(L"crl.ser"));
    const void* context = nullptr;
    DWORD type = 0;
    ASSERT_TRUE(::CertAddSerializedElementToStore(nullptr, crl.data(), static_cast<DWORD>(crl.size()),
                                                  CERT_STORE_ADD_ALWAYS, 0, CERT_STORE_ALL_CONTEXT_FLAG, &type,
                                                  &context));
    EXPECT_EQ(type, static_cast<DWORD>(CERT_STORE_CRL_CONTEXT));
    ::CertFreeCRLContext(static_cast<PCCRL_CONTEXT>(context));

    const auto signer = trust_test::bytes_of(fixture(L"signer.der"));
    const auto impostor = trust_test::bytes_of(fixture(L"impostor.der"));
    PCCERT_CONTEXT a =
        ::CertCreateCertificateContext(X509_ASN_ENCODING, signer.data(), static_cast<DWORD>(signer.size()));
    PCCERT_CONTEXT b =
        ::CertCreateCertificateContext(X509_ASN_ENCODING, impostor.data(), static_cast<DWORD>(impostor.size()));
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(::CertCompareCertificate(X509_ASN_ENCODING, a->pCertInfo, b->pCertInfo));
    EXPECT_NE(signer, impostor);
    ::CertFreeCertificateContext(a);
    ::CertFreeCertificateContext(b);
}

TEST(SystemTrustProvider, CertificateFileLimits)
{
    engine_test::ScratchFolder scratch(L"trust-limits");
    const std::string valid = engine_test::read_file(fixture(L"signer.ser"));
    ASSERT_FALSE(valid.empty());

    // Empty; larger than any certificate (a valid element, then padding).
    engine_test::write_file(scratch.at(L"empty.ser"), "");
    engine_test::write_file(scratch.at(L"large.ser"), valid + std::string(ov::trust::max_certificate_file, '\0'));
    engine_test::write_file(scratch.at(L"copy.ser"), valid);
    ov::system_trust_provider provider;
    EXPECT_EQ(provider.strict_check(fixture(L"signed.exe"), scratch.at(L"empty.ser")),
              strict_outcome::certificate_unreadable);
    EXPECT_EQ(provider.strict_check(fixture(L"signed.exe"), scratch.at(L"large.ser")),
              strict_outcome::certificate_unreadable);
    EXPECT_EQ(provider.strict_check(fixture(L"signed.exe"), scratch.at(L"copy.ser")), strict_outcome::passed);

    // Held open without sharing by someone else: cannot be opened.
    {
        ov::unique_hfile locked(
            ::CreateFileW(scratch.at(L"copy.ser").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(locked);
        EXPECT_EQ(provider.strict_check(fixture(L"signed.exe"), scratch.at(L"copy.ser")),
                  strict_outcome::certificate_unreadable);
    }
    // A folder is no certificate file.
    EXPECT_EQ(provider.strict_check(fixture(L"signed.exe"), scratch.path()), strict_outcome::certificate_unreadable);
}

TEST(SystemTrustProvider, MissingLibraries)
{
    // A system without the trust library: neither check can run.
    ov::system_trust_provider noTrust(L"ov-no-such-wintrust.dll", L"crypt32.dll");
    EXPECT_EQ(noTrust.strict_check(fixture(L"signed.exe"), fixture(L"signer.ser")), strict_outcome::provider_missing);
    EXPECT_EQ(noTrust.legacy_check(nullptr, fixture(L"signed.exe")), legacy_outcome::provider_missing);

    // Without the certificate library the signer cannot be compared.
    ov::system_trust_provider noCrypt(L"wintrust.dll", L"ov-no-such-crypt32.dll");
    EXPECT_EQ(noCrypt.strict_check(fixture(L"signed.exe"), fixture(L"signer.ser")), strict_outcome::crypto_missing);
    EXPECT_EQ(noCrypt.strict_check(fixture(L"unsigned.exe"), fixture(L"signer.ser")), strict_outcome::not_trusted);

    ov::unique_hmodule real(ov::load_system_library(L"wintrust.dll"));
    EXPECT_TRUE(real);
}

TEST(SystemTrustProvider, LoadsLibrariesOfTheSystemFolderOnly)
{
    // A library planted where the ordinary search finds it (the launcher's
    // download folder, say) is not taken.
    engine_test::ScratchFolder scratch(L"trust-planted");
    const std::wstring planted = scratch.at(L"ov-planted-trust.dll");
    const std::wstring library =
        ov::path::join(ov::path::folder_of(engine_test::this_program_folder()), L"doubles\\OVExternalUI.dll");
    ASSERT_TRUE(::CopyFileW(library.c_str(), planted.c_str(), FALSE)) << trust_test::narrow(library);
    ASSERT_TRUE(::SetDllDirectoryW(scratch.path().c_str()));
    {
        ov::unique_hmodule found(::LoadLibraryW(L"ov-planted-trust.dll"));
        EXPECT_TRUE(found) << "the ordinary search should find the planted library";
        ov::unique_hmodule system(ov::load_system_library(L"ov-planted-trust.dll"));
        EXPECT_FALSE(system);
    }
    ::SetDllDirectoryW(nullptr);
}

// Where Wine's provider answers otherwise than Windows'. These record the
// behaviour the launcher meets under Wine; the launcher's side of the paths
// that Wine cannot reach is tested through the scripted provider
// (signature_test.cpp).
TEST(WineTrustProviderFacts, TrustsIntactSignaturesWithoutATrustedRoot)
{
    // Windows answers CERT_E_UNTRUSTEDROOT for a self-signed publisher and
    // for the test CA, which no root store of the prefix holds.
    ov::system_trust_provider provider;
    EXPECT_EQ(provider.strict_check(fixture(L"signed-untrusted.exe"), fixture(L"untrusted.ser")),
              strict_outcome::passed);
    EXPECT_EQ(provider.strict_check(fixture(L"signed-impostor.exe"), fixture(L"impostor.ser")), strict_outcome::passed);
}

TEST(WineTrustProviderFacts, LegacyCheckAnswersLikeTheStrictVerdictWithoutADialog)
{
    // Windows shows its Authenticode dialog for a publisher it does not
    // trust yet, and answers 0 only when the user accepts.
    const struct {
        const wchar_t* file;
        legacy_outcome expected;
    } cases[] = {
        {L"signed.exe", legacy_outcome::accepted},           {L"signed-other.exe", legacy_outcome::accepted},
        {L"signed-untrusted.exe", legacy_outcome::accepted}, {L"unsigned.exe", legacy_outcome::refused},
        {L"tampered.exe", legacy_outcome::refused},
    };
    engine_test::DialogWatch watch;
    ov::system_trust_provider provider;
    for (const auto& c : cases)
        EXPECT_EQ(provider.legacy_check(nullptr, fixture(c.file)), c.expected) << trust_test::narrow(c.file);
    ::Sleep(200);
    EXPECT_TRUE(watch.texts().empty());
}
