// The signature check's decisions: the verification result of the strict and
// legacy checks, what a failed result does to the run, and the separate
// check's command line as the child's entry reads it back.
#include <gtest/gtest.h>

#include "entrymodes.h"
#include "trustlogic.h"

using namespace ov::trust;

namespace {

constexpr strict_outcome kFailedStrict[] = {
    strict_outcome::not_trusted,          strict_outcome::no_signer,      strict_outcome::certificate_unreadable,
    strict_outcome::certificate_mismatch, strict_outcome::crypto_missing, strict_outcome::provider_missing,
};

// The raw command line the started launcher sees: the text after its quoted
// program name and the blanks that follow it.
std::wstring child_raw_command_line(const std::wstring& command)
{
    EXPECT_EQ(command.front(), L'"');
    const auto close = command.find(L'"', 1);
    EXPECT_NE(close, std::wstring::npos);
    auto start = command.find_first_not_of(L' ', close + 1);
    return command.substr(start == std::wstring::npos ? command.size() : start);
}

} // namespace

TEST(TrustLogic, StrictPassIsTrustedWithoutLegacyCheck)
{
    for (const bool silent : {false, true}) {
        EXPECT_FALSE(legacy_check_due(strict_outcome::passed, silent));
        EXPECT_EQ(verification_result(strict_outcome::passed, silent, std::nullopt), verified);
    }
}

TEST(TrustLogic, FailedStrictCheckIsFinalWhenSilent)
{
    for (const auto strict : kFailedStrict) {
        EXPECT_FALSE(legacy_check_due(strict, true));
        EXPECT_EQ(verification_result(strict, true, std::nullopt), verification_failed);
        // Even an answer of the legacy check cannot turn a silent failure around.
        EXPECT_EQ(verification_result(strict, true, legacy_outcome::accepted), verification_failed);
    }
}

TEST(TrustLogic, LegacyCheckDecidesInteractively)
{
    const struct {
        legacy_outcome legacy;
        int result;
    } cases[] = {
        {legacy_outcome::accepted, verified},
        {legacy_outcome::refused, verification_failed},
        {legacy_outcome::provider_missing, provider_missing},
        {legacy_outcome::fault, verification_failed},
    };
    for (const auto strict : kFailedStrict) {
        EXPECT_TRUE(legacy_check_due(strict, false));
        for (const auto& c : cases)
            EXPECT_EQ(verification_result(strict, false, c.legacy), c.result) << describe(c.legacy);
        EXPECT_EQ(verification_result(strict, false, std::nullopt), verification_failed);
    }
}

TEST(TrustLogic, OnlyZeroIsATrustedAnswer)
{
    EXPECT_TRUE(is_trusted_answer(0));
    for (const long answer : {2L, 1L, -2146762496L /* TRUST_E_NOSIGNATURE */, -2146869232L /* TRUST_E_BAD_DIGEST */})
        EXPECT_FALSE(is_trusted_answer(answer)) << answer;
}

TEST(TrustLogic, ReportsOfResults)
{
    EXPECT_FALSE(report_for(verified, false));
    EXPECT_FALSE(report_for(verified, true));

    const struct {
        int result;
        bool silent;
        std::int32_t setupResult;
        unsigned message;
        bool show;
    } cases[] = {
        {verification_failed, true, 1621, 1621, false},
        {provider_missing, true, 1621, 1621, false},
        {verification_failed, false, 1621, 1621, true},
        {provider_missing, false, 1642, 1642, true},
        // A separate check that could not start, crashed or was cut short.
        {-858993460, false, 1621, 1621, true},
        {259, false, 1621, 1621, true},
        {-1073741819, true, 1621, 1621, false},
    };
    for (const auto& c : cases) {
        const auto report = report_for(c.result, c.silent);
        ASSERT_TRUE(report) << c.result;
        EXPECT_EQ(report->setup_result, c.setupResult) << c.result;
        EXPECT_EQ(report->message_id, c.message) << c.result;
        EXPECT_EQ(report->show, c.show) << c.result;
    }
}

TEST(TrustLogic, SeparateCheckCommandLine)
{
    EXPECT_EQ(separate_check_command(L"C:\\Program Files\\Setup\\setup.exe", L"C:\\T\\{1}\\demo.msi",
                                     L"C:\\T\\{1}\\publisher.ser", false),
              L"\"C:\\Program Files\\Setup\\setup.exe\" /g C:\\T\\{1}\\demo.msi /g C:\\T\\{1}\\publisher.ser");
    EXPECT_EQ(separate_check_command(L"D:\\setup.exe", L"a.msi", L"k.ser", true),
              L"\"D:\\setup.exe\" /g a.msi /g k.ser /s");
}

TEST(TrustLogic, SeparateCheckArgumentsSurviveTheChildsParser)
{
    const struct {
        const wchar_t* file;
        const wchar_t* certificate;
        bool silent;
    } cases[] = {
        {L"C:\\Users\\A B\\AppData\\Local\\Temp\\{9F}\\demo package.msi", L"C:\\Users\\A B\\Temp\\{9F}\\key.ser",
         false},
        {L"C:\\Users\\A B\\AppData\\Local\\Temp\\{9F}\\demo package.msi", L"C:\\Users\\A B\\Temp\\{9F}\\key.ser", true},
        {L"Z:\\w\\signed.exe", L"Z:\\w\\signer.ser", true},
    };
    for (const auto& c : cases) {
        const std::wstring command =
            separate_check_command(L"C:\\Media Folder\\setup.exe", c.file, c.certificate, c.silent);
        const std::wstring raw = child_raw_command_line(command);
        ASSERT_EQ(GetLeadingForm(raw), LeadingForm::SignatureCheck) << raw;
        const auto args = ParseSignatureCheck(raw);
        ASSERT_TRUE(args) << raw;
        EXPECT_EQ(args->file, c.file);
        // The blank before a trailing "/s" stays with the certificate path;
        // Windows (and Wine) ignore trailing blanks of a file name.
        EXPECT_EQ(args->second, std::wstring(c.certificate) + (c.silent ? L" " : L""));
        EXPECT_EQ(args->silent, c.silent);
    }
}
