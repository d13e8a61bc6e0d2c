#include "logformat.h"

#include <gtest/gtest.h>

namespace {

TEST(LogFormat, LineWithoutSourceDetails)
{
    EXPECT_EQ(ov::log::format_line(L"3-7-2026", L"09:05:01 PM", L"Setup returning 0", false, "/x/Setup/Setup.cpp", 9),
              L"3-7-2026[09:05:01 PM]: Setup returning 0\r\n");
}

TEST(LogFormat, LineWithSourceDetailsNamesFolderAndFile)
{
    EXPECT_EQ(ov::log::format_line(L"12-11-2026", L"01:02:03 AM", L"Reading setup.ini from C:\\T\\Setup.INI", true,
                                   "/work/main/Runtime/MSI/Shared/Setup/diskaction.cpp", 214),
              L"12-11-2026[01:02:03 AM]: Reading setup.ini from C:\\T\\Setup.INI  --  File: Setup\\diskaction.cpp, "
              L"Line: 214\r\n");
}

TEST(LogFormat, SourceNameFromEitherSeparator)
{
    EXPECT_EQ(ov::log::source_display_name("C:\\src\\Setup\\session.cpp"), L"Setup\\session.cpp");
    EXPECT_EQ(ov::log::source_display_name("log/setuplog.cpp"), L"log\\setuplog.cpp");
    EXPECT_EQ(ov::log::source_display_name("plain.cpp"), L"plain.cpp");
}

TEST(LogFormat, MessagePercentSignsAreNotReinterpreted)
{
    EXPECT_EQ(ov::log::format_line(L"d", L"t", L"100% %s", false, "", 0), L"d[t]: 100% %s\r\n");
}

} // namespace
