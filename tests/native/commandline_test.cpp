#include "commandline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ScanCase {
    const wchar_t* commandLine;
    const wchar_t* name;
    bool exact;
    bool found;
    const wchar_t* value;
};

class GetOptionTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(GetOptionTest, FindsOptionAsTheScannerRulesSay)
{
    const auto& c = GetParam();
    CommandLineScanner scanner(c.commandLine);
    std::wstring value = L"untouched";
    EXPECT_EQ(scanner.GetOption(c.name, &value, c.exact, false), c.found) << c.commandLine;
    if (c.found)
        EXPECT_EQ(value, c.value) << c.commandLine;
    else
        EXPECT_EQ(value, L"untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Table, GetOptionTest,
    ::testing::Values(
        ScanCase{L"/reboot", L"reboot", false, true, L""}, ScanCase{L"/rebootXYZ", L"reboot", false, true, L"XYZ"},
        ScanCase{L"-REBOOT", L"reboot", false, true, L""}, ScanCase{L"reboot", L"reboot", false, false, L""},
        ScanCase{L"/runfromtempX /runfromtemp", L"runfromtemp", true, true, L""},
        ScanCase{L"/runfromtempX", L"runfromtemp", true, false, L""},
        ScanCase{L"/q\"C:\\Media\\setup.exe\" /s", L"Q", false, true, L"\"C:\\Media\\setup.exe\""},
        ScanCase{L"/tempdisk1folder\"C:\\Temp Dir\\x\" /s", L"tempdisk1folder", false, true, L"\"C:\\Temp Dir\\x\""},
        ScanCase{L"   /debuglog\"C:\\my logs\\a.log\"   /v\"A=1 B=2\"", L"debuglog", false, true,
                 L"\"C:\\my logs\\a.log\""},
        ScanCase{L"/v\"A=1 /reboot\"", L"reboot", false, false, L""}, ScanCase{L"", L"s", false, false, L""},
        ScanCase{L"/s\t/x", L"s", true, false, L""}, ScanCase{L"/l0x0407", L"l", false, true, L"0x0407"}));

TEST(CommandLineScanner, RemainingKeepsUnconsumedTokensInOrder)
{
    CommandLineScanner scanner(L"/l1031 /hide_splash /s /extract_all:C:\\x /custom  other");
    ASSERT_TRUE(scanner.GetOption(L"l", nullptr, false, true));
    ASSERT_TRUE(scanner.GetOption(L"hide_splash", nullptr, true, true));
    ASSERT_TRUE(scanner.GetOption(L"s", nullptr, true, false));
    ASSERT_TRUE(scanner.GetOption(L"extract_all:", nullptr, false, true));
    EXPECT_EQ(scanner.Remaining(), L"/s /custom other");
}

TEST(CommandLineScanner, LaterLookupWithoutConsumeClearsTheMark)
{
    CommandLineScanner scanner(L"/a /b");
    ASSERT_TRUE(scanner.GetOption(L"a", nullptr, true, true));
    ASSERT_TRUE(scanner.GetOption(L"a", nullptr, true, false));
    EXPECT_EQ(scanner.Remaining(), L"/a /b");
}

TEST(CommandLineScanner, RemainingOfBlankTextIsTheText)
{
    EXPECT_EQ(CommandLineScanner(L"   ").Remaining(), L"   ");
}

TEST(CommandLineScanner, QuotesStayInTokensAndProtectBlanks)
{
    CommandLineScanner scanner(L"/v\"A=\"\"x y\"\"\" /s");
    ASSERT_EQ(scanner.Tokens().size(), 2u);
    EXPECT_EQ(scanner.Tokens()[0], L"/v\"A=\"\"x y\"\"\"");
}

struct ParseAllRecorder {
    std::vector<std::wstring> seen;
    int invalid = 0;
    bool answer = true;
};

bool record(void* context, std::wstring_view option)
{
    auto* r = static_cast<ParseAllRecorder*>(context);
    r->seen.emplace_back(option);
    return r->answer;
}

void invalid(void* context)
{
    ++static_cast<ParseAllRecorder*>(context)->invalid;
}

TEST(CommandLineInfo, HandsOptionsWithoutPrefixInOrder)
{
    const wchar_t* argv[] = {L"setup.exe", L"/s", L"-v/qn", L"/L1031"};
    ParseAllRecorder r;
    EXPECT_TRUE(CommandLineInfo(4, argv).ParseAll(&record, &r, &invalid));
    EXPECT_EQ(r.seen, (std::vector<std::wstring>{L"s", L"v/qn", L"L1031"}));
    EXPECT_EQ(r.invalid, 0);
}

TEST(CommandLineInfo, PlainArgumentStopsWithUsage)
{
    const wchar_t* argv[] = {L"setup.exe", L"/s", L"foo", L"/x"};
    ParseAllRecorder r;
    EXPECT_FALSE(CommandLineInfo(4, argv).ParseAll(&record, &r, &invalid));
    EXPECT_EQ(r.seen, (std::vector<std::wstring>{L"s"}));
    EXPECT_EQ(r.invalid, 1);
}

TEST(CommandLineInfo, CallbackFailureStopsWithoutSecondUsage)
{
    const wchar_t* argv[] = {L"setup.exe", L"/x", L"/y"};
    ParseAllRecorder r;
    r.answer = false;
    EXPECT_FALSE(CommandLineInfo(3, argv).ParseAll(&record, &r, &invalid));
    EXPECT_EQ(r.seen.size(), 1u);
    EXPECT_EQ(r.invalid, 0);
}

TEST(CommandLineInfo, NoArgumentsIsValid)
{
    const wchar_t* argv[] = {L"setup.exe"};
    ParseAllRecorder r;
    EXPECT_TRUE(CommandLineInfo(1, argv).ParseAll(&record, &r, &invalid));
}

} // namespace
