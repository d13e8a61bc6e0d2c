#include "entrymodes.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryModes, LeadingFormFromFirstTwoCharacters)
{
    struct Case {
        const wchar_t* raw;
        LeadingForm form;
    } cases[] = {
        {L"/% /I {X}", LeadingForm::RunOnce},
        {L"-%", LeadingForm::RunOnce},
        {L"/k /s", LeadingForm::StartCopy},
        {L"/K", LeadingForm::StartCopy},
        {L"-g a /g b", LeadingForm::SignatureCheck},
        {L"/G", LeadingForm::SignatureCheck},
        {L"/s", LeadingForm::None},
        {L"k/", LeadingForm::None},
        {L"/", LeadingForm::None},
        {L"", LeadingForm::None},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GetLeadingForm(c.raw), c.form) << c.raw;
}

TEST(EntryModes, RunOnceCommandTakesTextFromFirstSlash)
{
    EXPECT_EQ(RunOnceCommand(L"/% /I {GUID} REBOOT=ReallySuppress"), L"MSIEXEC.EXE /I {GUID} REBOOT=ReallySuppress");
    EXPECT_EQ(RunOnceCommand(L"/%abc/x {G}"), L"MSIEXEC.EXE /x {G}");
    EXPECT_EQ(RunOnceCommand(L"/% no switches"), L"");
}

TEST(EntryModes, StartCopyAppendsFromThirdCharacter)
{
    EXPECT_EQ(StartCopyCommand(L"C:\\a\\setup.exe", L"/k /s"), L"C:\\a\\setup.exe /s");
    EXPECT_EQ(StartCopyCommand(L"setup.exe", L"/k"), L"setup.exe");
}

TEST(EntryModes, SignatureCheckArguments)
{
    auto a = ParseSignatureCheck(L"/g C:\\a.msi /g Name /s");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->file, L"C:\\a.msi");
    EXPECT_EQ(a->second, L"Name ");
    EXPECT_TRUE(a->silent);

    a = ParseSignatureCheck(L"/g C:\\b c.exe /g Key-S");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->file, L"C:\\b c.exe");
    EXPECT_EQ(a->second, L"Key");
    EXPECT_TRUE(a->silent);

    a = ParseSignatureCheck(L"/g C:\\a.msi /g Name");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->second, L"Name");
    EXPECT_FALSE(a->silent);

    // Without a second part the check still runs, with no certificate.
    a = ParseSignatureCheck(L"/g C:\\nothing");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->file, L"C:\\nothing");
    EXPECT_EQ(a->second, L"");
    a = ParseSignatureCheck(L"/g C:\\a.exe /S");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->file, L"C:\\a.exe");
    EXPECT_TRUE(a->silent);
    a = ParseSignatureCheck(L"-g C:\\a.exe -g C:\\c.ser");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->file, L"C:\\a.exe -g C:\\c.ser");
    EXPECT_EQ(a->second, L"");
}

TEST(EntryModes, MajorUpgradeValuePieces)
{
    struct Case {
        const wchar_t* value;
        bool valid;
        std::vector<std::wstring> pieces;
    } cases[] = {
        {L"a;1;2;d", true, {L"a", L"1", L"2", L"d"}},
        {L"a;1;2", true, {L"a", L"1", L"2", L""}},
        {L"a;1;2;", true, {L"a", L"1", L"2", L""}},
        {L";;;", true, {L"", L"", L"", L""}},
        {L"a;1", false, {}},
        {L"a;1;2;3;4", false, {}},
        {L"", false, {}},
    };
    for (const auto& c : cases) {
        const auto pieces = SplitMajorUpgradeValue(c.value);
        EXPECT_EQ(static_cast<bool>(pieces), c.valid) << c.value;
        if (pieces) {
            EXPECT_EQ(*pieces, c.pieces) << c.value;
        }
    }
}

TEST(EntryModes, RelaunchOptionAtStart)
{
    EXPECT_TRUE(StartsWithRelaunchOption(L"/q\"C:\\x\\setup.exe\" /tempdisk1folder\"C:\\t\""));
    EXPECT_TRUE(StartsWithRelaunchOption(L"-Q"));
    EXPECT_FALSE(StartsWithRelaunchOption(L"/s /q"));
}

} // namespace
