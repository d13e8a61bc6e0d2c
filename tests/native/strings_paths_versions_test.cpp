#include "ov_string.h"
#include "paths.h"
#include "versions.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(Versions, CompareVersionsTable)
{
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        int expected;
    } cases[] = {
        {L"4.5.6001.22159", L"3.1.4000.2435", -1},
        {L"3.1.4000.2435", L"4.5.6001.22159", 1},
        {L"2.0", L"2.0.0.0", 0},
        {L"1.20.1827.0", L"1.20.1827", 0},
        {L"1.10", L"1.9", -1},
        {L"v2.0.50727", L"2.0.50727", 0},
        {L"2,0,1,5", L"2.0.1.4", -1},
        {L"", L"0.0.0.1", 1},
        {L"1.2.3.4.5", L"1.2.3.4.9", 0},
        {L"99999999999.0", L"4294967295.0", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CompareVersions(c.a, c.b), c.expected) << c.a << L" vs " << c.b;
}

TEST(Paths, HelpersTable)
{
    using namespace ov::path;
    EXPECT_EQ(join(L"C:\\Temp\\", L"Setup.INI"), L"C:\\Temp\\Setup.INI");
    EXPECT_EQ(join(L"C:\\Temp", L"\\Setup.INI"), L"C:\\Temp\\Setup.INI");
    EXPECT_EQ(join(L"C:\\Temp", L"a"), L"C:\\Temp\\a");
    EXPECT_EQ(folder_of(L"C:\\a\\b\\setup.exe"), L"C:\\a\\b");
    EXPECT_EQ(folder_of(L"setup.exe"), L"");
    EXPECT_EQ(file_name_of(L"C:\\a\\setup.exe"), L"setup.exe");
    EXPECT_EQ(file_name_of(L"setup.exe"), L"setup.exe");
    EXPECT_EQ(unquote(L"\"C:\\a b\""), L"C:\\a b");
    EXPECT_EQ(unquote(L"\"C:\\a"), L"C:\\a");
    EXPECT_EQ(unquote(L"\"\"x\"\""), L"\"x\"");
    EXPECT_EQ(without_trailing_backslash(L"C:\\T\\"), L"C:\\T");
    EXPECT_EQ(without_trailing_backslash(L"C:\\T\\\\"), L"C:\\T\\");
    EXPECT_TRUE(is_absolute(L"C:\\x"));
    EXPECT_TRUE(is_absolute(L"\\\\server\\share"));
    EXPECT_FALSE(is_absolute(L"sub\\dir"));
    EXPECT_FALSE(is_absolute(L"C:rel"));
    EXPECT_EQ(drive_of(L"d:\\x"), L"d:");
    EXPECT_EQ(drive_of(L"\\\\server\\x"), L"");
    EXPECT_TRUE(is_within(L"C:\\Temp\\{A}\\setup.exe", L"c:\\temp\\{a}"));
    EXPECT_FALSE(is_within(L"C:\\Temp\\{A}x\\setup.exe", L"C:\\Temp\\{A}"));
}

TEST(Strings, NumbersAndCase)
{
    EXPECT_EQ(ov::parse_language_id(L"0x0407"), 1031);
    EXPECT_EQ(ov::parse_language_id(L"0X0407"), 1031);
    EXPECT_EQ(ov::parse_language_id(L"1031"), 1031);
    EXPECT_EQ(ov::parse_language_id(L"abc"), 0);
    EXPECT_EQ(ov::parse_language_id(L"70000"), static_cast<std::uint16_t>(70000));
    EXPECT_EQ(ov::parse_long(L"  42abc", 10), 42);
    EXPECT_EQ(ov::parse_long(L"-7", 10), -7);
    EXPECT_EQ(ov::parse_long(L"99999999999999999999", 10), LONG_MAX);
    EXPECT_EQ(ov::parse_ulong(L"ff", 16), 255ul);
    EXPECT_EQ(ov::parse_whole_int32(L"12"), 12);
    EXPECT_EQ(ov::parse_whole_int32(L"12a"), std::nullopt);
    EXPECT_EQ(ov::parse_whole_int32(L"2147483648"), std::nullopt);
    EXPECT_EQ(ov::parse_whole_int32(L"-2147483648"), INT32_MIN);
    EXPECT_EQ(ov::parse_whole_int32(L""), std::nullopt);
    EXPECT_TRUE(ov::iequals(L"RunFromTemp", L"runfromtemp"));
    EXPECT_TRUE(ov::istarts_with(L"DebugLog\"x\"", L"debuglog"));
    EXPECT_TRUE(ov::icontains(L"/NO_ENGINE", L"no_engine"));
    EXPECT_EQ(ov::split(L"a;;b;", L';'), (std::vector<std::wstring>{L"a", L"", L"b"}));
    EXPECT_EQ(ov::trim(L" \t x y \r\n"), L"x y");
}

TEST(Strings, Utf8RoundTrip)
{
    const std::wstring text = {L'a', static_cast<wchar_t>(0xE4), static_cast<wchar_t>(0x20AC),
                               static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
    EXPECT_EQ(ov::from_utf8(ov::to_utf8(text)), text);
    EXPECT_EQ(ov::from_utf8("\xff"), std::wstring(1, static_cast<wchar_t>(0xFFFD)));
}

} // namespace
