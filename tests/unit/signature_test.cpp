// The launcher's signature step: verify_file's contract (through a scripted
// provider where Wine cannot answer as Windows does, and against the real
// provider where it can), verify_signed_file in this process and in a
// separate launcher process (the real setup.exe "/g"), find_certificate and
// the certificate-key check on a launcher with a payload, and the "/g" mode.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "ov_format.h"
#include "payload_fixture.h"
#include "processstate.h"
#include "session.h"
#include "setupcontext.h"
#include "signature.h"
#include "test_pe.h"
#include "trust_test_support.h"
#include "trustlogic.h"
#include "utils.h"

using ov::trust::legacy_outcome;
using ov::trust::strict_outcome;
using trust_test::fixture;
using trust_test::narrow;
using trust_test::ScriptedProvider;

namespace {

constexpr strict_outcome kFailedStrict[] = {
    strict_outcome::not_trusted,          strict_outcome::no_signer,      strict_outcome::certificate_unreadable,
    strict_outcome::certificate_mismatch, strict_outcome::crypto_missing, strict_outcome::provider_missing,
};

const wchar_t kSignatureFailedText[] = L"1621: Failed to verify signature of file %s.";
const wchar_t kProviderMissingText[] =
    L"1642: Could not verify signature.  You need Internet Explorer 3.02 or later with Authenticode update.";

std::wstring failed_text(const wchar_t* fileName)
{
    return ov::format(kSignatureFailedText, fileName);
}

// A context whose launcher is `launcher`, silent, automatic or interactive.
enum class Mode { Interactive, Silent, Automatic };
std::unique_ptr<SetupContext> make_context(Mode mode, const std::wstring& launcher = L"C:\\media\\setup.exe")
{
    auto context = std::make_unique<SetupContext>(::GetModuleHandleW(nullptr), launcher);
    context->SetSilent(mode == Mode::Silent);
    context->SetAutomatic(mode == Mode::Automatic);
    return context;
}

// A small PE with a payload of one compressed entry behind it. (GCC 12 at
// -O3 reports a false out-of-bounds copy inside the inlined payload writer.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
[[gnu::noinline]] std::string launcher_with_entry(const char* name, const std::string& data)
{
    ov::test::fixture_entry entry;
    entry.name = name;
    entry.data.assign(data.begin(), data.end());
    entry.compress = true;
    std::vector<std::uint8_t> file = ov::test::make_pe();
    const auto payload = ov::test::make_payload({entry});
    file.insert(file.end(), payload.begin(), payload.end());
    return std::string(file.begin(), file.end());
}
#pragma GCC diagnostic pop

class ResultGuard {
public:
    ResultGuard() { Process().SetupResult = kUntouched; }
    ~ResultGuard() { Process().SetupResult = 0; }
    static constexpr int kUntouched = 4242;
};

} // namespace

// ---------------------------------------------------------------------------
// verify_file

TEST(VerifyFile, StrictPassIsFinal)
{
    for (const bool silent : {false, true}) {
        ScriptedProvider provider;
        provider.strict = strict_outcome::passed;
        EXPECT_EQ(verify_file(provider, L"C:\\t\\a.msi", L"C:\\t\\k.ser", silent, nullptr), 0);
        EXPECT_EQ(provider.strict_calls, 1);
        EXPECT_EQ(provider.legacy_calls, 0);
        EXPECT_EQ(provider.file, L"C:\\t\\a.msi");
        EXPECT_EQ(provider.certificate, L"C:\\t\\k.ser");
    }
}

TEST(VerifyFile, SilentFailureNeverAsksTheUser)
{
    for (const auto strict : kFailedStrict) {
        ScriptedProvider provider;
        provider.strict = strict;
        provider.legacy = legacy_outcome::accepted;
        EXPECT_EQ(verify_file(provider, L"C:\\t\\a.msi", L"C:\\t\\k.ser", true, nullptr), 1621)
            << narrow(ov::trust::describe(strict));
        EXPECT_EQ(provider.legacy_calls, 0);
    }
}

TEST(VerifyFile, InteractiveFailureLetsTheSystemCheckDecide)
{
    const struct {
        legacy_outcome legacy;
        int result;
    } cases[] = {
        {legacy_outcome::accepted, 0},
        {legacy_outcome::refused, 1621},
        {legacy_outcome::provider_missing, 1642},
        {legacy_outcome::fault, 1621},
    };
    const HWND owner = ::GetDesktopWindow();
    for (const auto strict : kFailedStrict) {
        for (const auto& c : cases) {
            ScriptedProvider provider;
            provider.strict = strict;
            provider.legacy = c.legacy;
            EXPECT_EQ(verify_file(provider, L"C:\\t\\a.msi", L"C:\\t\\k.ser", false, owner), c.result)
                << narrow(ov::trust::describe(strict)) << " / " << narrow(ov::trust::describe(c.legacy));
            EXPECT_EQ(provider.legacy_calls, 1);
            EXPECT_EQ(provider.legacy_file, L"C:\\t\\a.msi");
            EXPECT_EQ(provider.owner, owner);
        }
    }
}

// Everything against the real WinTrust and Crypt32 of the prefix, in the
// cases where Wine answers as Windows does.
TEST(VerifyFile, RealSignatures)
{
    const struct {
        const wchar_t* file;
        const wchar_t* certificate;
        bool silent;
        int result;
    } cases[] = {
        {L"signed.exe", L"signer.ser", true, 0},
        {L"signed.exe", L"signer.ser", false, 0},
        {L"signed.exe", L"other.ser", true, 1621},
        {L"signed-other.exe", L"signer.ser", true, 1621},
        {L"signed-impostor.exe", L"signer.ser", true, 1621},
        {L"unsigned.exe", L"signer.ser", true, 1621},
        {L"unsigned.exe", L"signer.ser", false, 1621},
        {L"tampered.exe", L"signer.ser", true, 1621},
        {L"tampered.exe", L"signer.ser", false, 1621},
        {L"no-such-file.exe", L"signer.ser", false, 1621},
        {L"signed.exe", L"no-such-certificate.ser", true, 1621},
        {L"signed.exe", L"garbage.ser", true, 1621},
    };
    engine_test::DialogWatch watch;
    for (const auto& c : cases)
        EXPECT_EQ(verify_file(fixture(c.file), fixture(c.certificate), c.silent), c.result)
            << narrow(c.file) << " with " << narrow(c.certificate) << (c.silent ? " silent" : " interactive");
    // verify_file itself never shows the launcher's messages.
    ::Sleep(200);
    EXPECT_TRUE(watch.texts().empty());
}

TEST(VerifyFile, NoTrustProvider)
{
    ov::system_trust_provider missing(L"ov-no-such-wintrust.dll", L"crypt32.dll");
    EXPECT_EQ(verify_file(missing, fixture(L"signed.exe"), fixture(L"signer.ser"), true, nullptr), 1621);
    EXPECT_EQ(verify_file(missing, fixture(L"signed.exe"), fixture(L"signer.ser"), false, nullptr), 1642);
}

// ---------------------------------------------------------------------------
// verify_signed_file in this process

TEST(VerifySignedFile, TrustedLeavesTheResultAlone)
{
    for (const Mode mode : {Mode::Interactive, Mode::Silent}) {
        ResultGuard guard;
        auto context = make_context(mode);
        ScriptedProvider provider;
        engine_test::DialogWatch watch;
        EXPECT_TRUE(verify_signed_file(*context, provider, L"C:\\t\\demo.msi", L"C:\\t\\k.ser", false));
        EXPECT_EQ(Process().SetupResult, ResultGuard::kUntouched);
        ::Sleep(100);
        EXPECT_TRUE(watch.texts().empty());
    }
}

TEST(VerifySignedFile, FailureReports)
{
    const struct {
        Mode mode;
        strict_outcome strict;
        legacy_outcome legacy;
        int setupResult;
        int legacyCalls;
        std::wstring message; // empty: nothing shown
    } cases[] = {
        // Silent and automatic runs: 1621 whatever went wrong, nothing shown,
        // the system's dialog never asked.
        {Mode::Silent, strict_outcome::certificate_mismatch, legacy_outcome::accepted, 1621, 0, L""},
        {Mode::Silent, strict_outcome::provider_missing, legacy_outcome::provider_missing, 1621, 0, L""},
        {Mode::Automatic, strict_outcome::not_trusted, legacy_outcome::accepted, 1621, 0, L""},
        // Interactive: the system's check decides; a failure shows its message
        // with the file's name without its folder.
        {Mode::Interactive, strict_outcome::certificate_mismatch, legacy_outcome::refused, 1621, 1,
         failed_text(L"demo.msi")},
        {Mode::Interactive, strict_outcome::provider_missing, legacy_outcome::provider_missing, 1642, 1,
         kProviderMissingText},
        {Mode::Interactive, strict_outcome::not_trusted, legacy_outcome::fault, 1621, 1, failed_text(L"demo.msi")},
    };
    for (const auto& c : cases) {
        ResultGuard guard;
        auto context = make_context(c.mode);
        ScriptedProvider provider;
        provider.strict = c.strict;
        provider.legacy = c.legacy;
        std::vector<std::wstring> shown;
        {
            engine_test::DialogWatch watch;
            EXPECT_FALSE(verify_signed_file(*context, provider, L"C:\\t\\{AB}\\demo.msi", L"C:\\t\\k.ser", false));
            ::Sleep(200);
            shown = watch.texts();
        }
        const std::string label = narrow(ov::trust::describe(c.strict));
        EXPECT_EQ(Process().SetupResult, c.setupResult) << label;
        EXPECT_EQ(provider.legacy_calls, c.legacyCalls) << label;
        if (c.message.empty())
            EXPECT_TRUE(shown.empty()) << label;
        else
            EXPECT_EQ(shown, std::vector<std::wstring>{c.message}) << label;
    }
}

TEST(VerifySignedFile, InteractiveAcceptanceIsTrusted)
{
    ResultGuard guard;
    auto context = make_context(Mode::Interactive);
    ScriptedProvider provider;
    provider.strict = strict_outcome::not_trusted; // what Windows says of an unknown root
    provider.legacy = legacy_outcome::accepted;    // the user accepts in the system's dialog
    EXPECT_TRUE(verify_signed_file(*context, provider, L"C:\\t\\demo.msi", L"C:\\t\\k.ser", false));
    EXPECT_EQ(provider.legacy_calls, 1);
    EXPECT_EQ(Process().SetupResult, ResultGuard::kUntouched);
}

// ---------------------------------------------------------------------------
// The separate process: the real setup.exe of this build in its "/g" mode

class SeparateProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        launcher_ = trust_test::built_launcher();
        ASSERT_TRUE(engine_test::file_exists(launcher_)) << narrow(launcher_);
    }
    void TearDown() override { Process().SetupResult = 0; }
    std::wstring launcher_;
};

// The exit code of "/g" is the in-process verify_file's result, case by case.
TEST_F(SeparateProcess, SameCodesAsInProcess)
{
    const struct {
        const wchar_t* file;
        const wchar_t* certificate;
        bool silent;
    } cases[] = {
        {L"signed.exe", L"signer.ser", false},      {L"signed.exe", L"signer.ser", true},
        {L"signed.exe", L"other.ser", true},        {L"signed-other.exe", L"signer.ser", true},
        {L"unsigned.exe", L"signer.ser", true},     {L"unsigned.exe", L"signer.ser", false},
        {L"tampered.exe", L"signer.ser", true},     {L"tampered.exe", L"signer.ser", false},
        {L"signed.exe", L"garbage.ser", true},      {L"signed.exe", L"no-such-certificate.ser", true},
        {L"no-such-file.exe", L"signer.ser", true},
    };
    for (const auto& c : cases) {
        const int inProcess = verify_file(fixture(c.file), fixture(c.certificate), c.silent);
        const int child = LaunchAndWait(
            ov::trust::separate_check_command(launcher_, fixture(c.file), fixture(c.certificate), c.silent), SW_HIDE);
        EXPECT_EQ(child, inProcess) << narrow(c.file) << " with " << narrow(c.certificate)
                                    << (c.silent ? " silent" : " interactive");
    }
}

TEST_F(SeparateProcess, VerifySignedFileTakesTheExitCode)
{
    const struct {
        Mode mode;
        const wchar_t* file;
        const wchar_t* certificate;
        bool trusted;
        int setupResult;
        std::wstring message;
    } cases[] = {
        {Mode::Silent, L"signed.exe", L"signer.ser", true, 0, L""},
        {Mode::Interactive, L"signed.exe", L"signer.ser", true, 0, L""},
        {Mode::Silent, L"signed-other.exe", L"signer.ser", false, 1621, L""},
        {Mode::Automatic, L"tampered.exe", L"signer.ser", false, 1621, L""},
        {Mode::Interactive, L"unsigned.exe", L"signer.ser", false, 1621, failed_text(L"unsigned.exe")},
    };
    for (const auto& c : cases) {
        Process().SetupResult = 4242;
        auto context = make_context(c.mode, launcher_);
        std::vector<std::wstring> shown;
        {
            engine_test::DialogWatch watch;
            EXPECT_EQ(verify_signed_file(*context, fixture(c.file), fixture(c.certificate), true), c.trusted)
                << narrow(c.file);
            ::Sleep(200);
            shown = watch.texts();
        }
        EXPECT_EQ(Process().SetupResult, c.setupResult) << narrow(c.file);
        if (c.message.empty())
            EXPECT_TRUE(shown.empty()) << narrow(c.file);
        else
            EXPECT_EQ(shown, std::vector<std::wstring>{c.message}) << narrow(c.file);
    }
}

// What verify_signed_file makes of the child's exit code, and the command
// line the child receives, with the redistributable double standing in for
// the launcher (it records its command line and exits with the code the test
// sets). The folder has a blank in its name: the launcher's path is quoted.
TEST_F(SeparateProcess, ChildExitCodesAndCommandLine)
{
    engine_test::ScratchFolder scratch(L"trust child");
    const std::wstring media = scratch.at(L"Setup Media");
    ASSERT_TRUE(::CreateDirectoryW(media.c_str(), nullptr));
    const std::wstring launcher = ov::path::join(media, L"setup.exe");
    ASSERT_TRUE(::CopyFileW(engine_test::double_path().c_str(), launcher.c_str(), FALSE));

    const struct {
        Mode mode;
        const wchar_t* exitCode;
        bool trusted;
        int setupResult;
        std::wstring message;
    } cases[] = {
        {Mode::Interactive, L"0", true, 0, L""},
        {Mode::Interactive, L"1642", false, 1642, kProviderMissingText},
        {Mode::Silent, L"1642", false, 1621, L""},
        {Mode::Interactive, L"1621", false, 1621, failed_text(L"demo.msi")},
        // A child that crashed answers no verification result of its own.
        {Mode::Interactive, L"0xC0000005", false, 1621, failed_text(L"demo.msi")},
        {Mode::Automatic, L"0xC0000005", false, 1621, L""},
    };
    const std::wstring file = L"C:\\T\\{7}\\demo.msi";
    const std::wstring certificate = L"C:\\T\\{7}\\key.ser";
    std::vector<std::wstring> expectedCalls;
    for (const auto& c : cases) {
        Process().SetupResult = 4242;
        engine_test::EnvironmentValue code(L"REDIST_DOUBLE_EXIT", c.exitCode);
        auto context = make_context(c.mode, launcher);
        std::vector<std::wstring> shown;
        {
            engine_test::DialogWatch watch;
            EXPECT_EQ(verify_signed_file(*context, file, certificate, true), c.trusted) << narrow(c.exitCode);
            ::Sleep(200);
            shown = watch.texts();
        }
        EXPECT_EQ(Process().SetupResult, c.setupResult) << narrow(c.exitCode);
        if (c.message.empty())
            EXPECT_TRUE(shown.empty()) << narrow(c.exitCode);
        else
            EXPECT_EQ(shown, std::vector<std::wstring>{c.message}) << narrow(c.exitCode);
        expectedCalls.push_back(L"\"" + launcher + L"\" /g " + file + L" /g " + certificate +
                                (c.mode == Mode::Interactive ? L"" : L" /s"));
    }
    auto calls = scratch.calls(L"Setup Media\\setup.exe");
    if (!calls.empty() && calls.back().empty())
        calls.pop_back();
    EXPECT_EQ(calls, expectedCalls);
}

// A launcher that cannot be started verifies nothing.
TEST(VerifySignedFile, SeparateProcessThatCannotStart)
{
    ResultGuard guard;
    auto context = make_context(Mode::Silent, L"Z:\\ov-no-such-folder\\setup.exe");
    EXPECT_FALSE(verify_signed_file(*context, fixture(L"signed.exe"), fixture(L"signer.ser"), true));
    EXPECT_EQ(Process().SetupResult, 1621);
}

// ---------------------------------------------------------------------------
// "/g" mode

TEST(RunSignatureCheck, ReturnsTheVerificationResult)
{
    auto context = make_context(Mode::Interactive);
    // As the entry parses "/g <file> /g <certificate> /s": a blank stays
    // before the cut "/s".
    SignatureCheckArgs args{fixture(L"signed.exe"), fixture(L"signer.ser") + L" ", true};
    EXPECT_EQ(RunSignatureCheck(*context, args), 0);
    EXPECT_TRUE(context->Silent());
    args.file = fixture(L"signed-other.exe");
    EXPECT_EQ(RunSignatureCheck(*context, args), 1621);

    ScriptedProvider provider;
    provider.strict = strict_outcome::certificate_mismatch;
    provider.legacy = legacy_outcome::accepted;
    args.silent = false;
    EXPECT_EQ(RunSignatureCheck(*context, provider, args), 0);
    EXPECT_EQ(provider.owner, nullptr); // no setup dialog in this process
    provider.legacy = legacy_outcome::provider_missing;
    EXPECT_EQ(RunSignatureCheck(*context, provider, args), 1642);
    args.silent = true;
    provider.legacy_calls = 0;
    EXPECT_EQ(RunSignatureCheck(*context, provider, args), 1621);
    EXPECT_EQ(provider.legacy_calls, 0);
}

// ---------------------------------------------------------------------------
// find_certificate and the certificate-key check, on a launcher whose
// payload carries the publisher's certificate

class CertificateKey : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch_ = std::make_unique<engine_test::ScratchFolder>(L"certkey");
        temp_ = scratch_->at(L"temp");
        ::CreateDirectoryW(temp_.c_str(), nullptr);
        Process().TempFolder = temp_;
        Process().SetupResult = 0;

        // The launcher: the publisher's certificate in its payload.
        const std::string certificate = engine_test::read_file(fixture(L"signer.ser"));
        ASSERT_FALSE(certificate.empty());
        launcher_ = scratch_->at(L"setup.exe");
        engine_test::write_file(launcher_, launcher_with_entry("publisher.ser", certificate));

        context_ = make_context(Mode::Silent, launcher_);
        // No module handle: the session then reads the payload of the
        // context's launcher path instead of this test program's file.
        session_ = std::make_unique<Session>(kNoModule, *context_);
        ASSERT_EQ(session_->State().launcherPath, launcher_);
    }
    void TearDown() override
    {
        session_.reset();
        Process().TempFolder.clear();
        Process().SetupIniPath.clear();
        Process().SetupResult = 0;
    }
    void UseSetupIni(const std::string& text)
    {
        const std::wstring ini = scratch_->at(L"Setup.INI");
        engine_test::write_file(ini, text);
        Process().SetupIniPath = ini;
        session_->ReloadSetupIni();
    }
    // A copy of a fixture in the temporary folder, as a download leaves it.
    std::wstring downloaded(const wchar_t* fixtureName, const wchar_t* name)
    {
        const std::wstring target = ov::path::join(temp_, name);
        EXPECT_TRUE(::CopyFileW(fixture(fixtureName).c_str(), target.c_str(), FALSE));
        return target;
    }

    static inline const HINSTANCE kNoModule = reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(0x10));
    std::unique_ptr<engine_test::ScratchFolder> scratch_;
    std::wstring temp_, launcher_;
    std::unique_ptr<SetupContext> context_;
    std::unique_ptr<Session> session_;
};

TEST_F(CertificateKey, FindCertificate)
{
    UseSetupIni("[Startup]\r\nPackageName=demo.msi\r\n"
                "[keyed.msi]\r\nType=2\r\nCertKey=publisher.ser\r\n"
                "[empty.msi]\r\nType=2\r\nCertKey=\r\n"
                "[plain.msi]\r\nType=2\r\n"
                "[lost.msi]\r\nCertKey=absent.ser\r\n"
                "[climb.msi]\r\nCertKey=..\\publisher.ser\r\n"
                "[folder.msi]\r\nCertKey=sub\\publisher.ser\r\n");
    const struct {
        const wchar_t* section;
        bool ok;
        std::wstring path;
        int setupResult;
    } cases[] = {
        {L"plain.msi", true, L"", 0},      {L"empty.msi", true, L"", 0},
        {L"no-section.msi", true, L"", 0}, {L"keyed.msi", true, ov::path::join(temp_, L"publisher.ser"), 0},
        {L"lost.msi", false, L"", 1152},   {L"climb.msi", false, L"", 1152},
        {L"folder.msi", false, L"", 1152},
    };
    for (const auto& c : cases) {
        Process().SetupResult = 0;
        std::wstring path = L"left over";
        EXPECT_EQ(find_certificate(*session_, c.section, path), c.ok) << narrow(c.section);
        EXPECT_EQ(path, c.path) << narrow(c.section);
        EXPECT_EQ(Process().SetupResult, c.setupResult) << narrow(c.section);
    }
    // The extracted key is the carried certificate, byte for byte; nothing
    // landed beside the temporary folder.
    EXPECT_EQ(engine_test::read_file(ov::path::join(temp_, L"publisher.ser")),
              engine_test::read_file(fixture(L"signer.ser")));
    EXPECT_FALSE(engine_test::file_exists(scratch_->at(L"publisher.ser")));
}

TEST_F(CertificateKey, CheckOfDownloadedFiles)
{
    UseSetupIni("[keyed.exe]\r\nType=2\r\nCertKey=publisher.ser\r\n"
                "[lost.exe]\r\nType=2\r\nCertKey=absent.ser\r\n");
    const struct {
        const wchar_t* section;
        const wchar_t* fixtureName;
        bool ok;
        int setupResult;
    } cases[] = {
        {L"plain.exe", L"unsigned.exe", true, 0}, // no key: no check at all
        {L"keyed.exe", L"signed.exe", true, 0},       {L"keyed.exe", L"signed-other.exe", false, 1621},
        {L"keyed.exe", L"tampered.exe", false, 1621}, {L"keyed.exe", L"unsigned.exe", false, 1621},
        {L"lost.exe", L"signed.exe", false, 1152},
    };
    for (const auto& c : cases) {
        Process().SetupResult = 0;
        const std::wstring target = downloaded(c.fixtureName, L"download.exe");
        EXPECT_EQ(CheckCertificateKey(*session_, c.section, target, false), c.ok)
            << narrow(c.section) << " " << narrow(c.fixtureName);
        EXPECT_EQ(Process().SetupResult, c.setupResult) << narrow(c.section) << " " << narrow(c.fixtureName);
        // A file that was not verified is gone; a verified one stays.
        EXPECT_EQ(engine_test::file_exists(target), c.ok) << narrow(c.section) << " " << narrow(c.fixtureName);
    }
}

TEST_F(CertificateKey, FileOutsideTheTemporaryFolderIsLeftInPlace)
{
    UseSetupIni("[keyed.exe]\r\nCertKey=publisher.ser\r\n");
    const std::wstring outside = scratch_->at(L"outside.exe");
    ASSERT_TRUE(::CopyFileW(fixture(L"signed-other.exe").c_str(), outside.c_str(), FALSE));
    EXPECT_FALSE(CheckCertificateKey(*session_, L"keyed.exe", outside, false));
    EXPECT_EQ(Process().SetupResult, 1621);
    EXPECT_TRUE(engine_test::file_exists(outside));
}
