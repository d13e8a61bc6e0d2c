#include "ov_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Format, WindowsConventionsAndCommonConversions)
{
    const std::wstring name = L"setup.msi";
    EXPECT_EQ(ov::format(L"Extracting '%s' to %s", name, L"C:\\T"), L"Extracting 'setup.msi' to C:\\T");
    EXPECT_EQ(ov::format(L"%d: %s", 1152, L"x"), L"1152: x");
    EXPECT_EQ(ov::format(L"%lu KB in %s", 8000ul, L"C:\\"), L"8000 KB in C:\\");
    EXPECT_EQ(ov::format(L"%#x", 0x409), L"0x409");
    EXPECT_EQ(ov::format(L"0x%04x.ini", 0x407), L"0x0407.ini");
    EXPECT_EQ(ov::format(L"%04x.mst", 0x407), L"0407.mst");
    EXPECT_EQ(ov::format(L"%08X", 0x8004D3C0u), L"8004D3C0");
    EXPECT_EQ(ov::format(L"%d", -858993460), L"-858993460");
    EXPECT_EQ(ov::format(L"%x", -1), L"ffffffff");
    EXPECT_EQ(ov::format(L"%5d|%-5d|%05d", 42, 42, -42), L"   42|42   |-0042");
    EXPECT_EQ(ov::format(L"%.3s", L"abcdef"), L"abc");
    EXPECT_EQ(ov::format(L"%hs and %S", "narrow", "too"), L"narrow and too");
    EXPECT_EQ(ov::format(L"100%% done"), L"100% done");
    EXPECT_EQ(ov::format(L"%01d.%01d", 3, 7), L"3.7");
    EXPECT_EQ(ov::format(L"%c", L'Z'), L"Z");
    EXPECT_EQ(ov::format(L"%I64u", 5000000000ull), L"5000000000");
}

TEST(Format, MissingOrMismatchedArgumentsAreHarmless)
{
    // Formats come from language files: they must never read past their arguments.
    EXPECT_EQ(ov::format(L"%s %s %d %n%p"), L"  0 0000000000000000");
    EXPECT_EQ(ov::format(L"%s", 12), L"12");
    EXPECT_EQ(ov::format(L"%d", L"text"), L"0");
    EXPECT_EQ(ov::format(L"trailing %"), L"trailing %");
    EXPECT_EQ(ov::format(L"%y unknown"), L"%y unknown");
    EXPECT_EQ(ov::format(L"%999999999999d", 1).size(), 100000u);
}

TEST(Format, InsertsReplaceNumberedPlaceholders)
{
    const std::wstring inserts[] = {L"Demo", L"Orvane Wizard"};
    EXPECT_EQ(ov::format_inserts(L"%1 Setup is preparing the %2.", inserts, 2),
              L"Demo Setup is preparing the Orvane Wizard.");
    EXPECT_EQ(ov::format_inserts(L"%3 %1", inserts, 2), L" Demo");
}

} // namespace
