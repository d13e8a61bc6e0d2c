#include "optiontext.h"

#include <gtest/gtest.h>

namespace {

struct OptionCase {
    const wchar_t* name;  // nullptr: no name
    const wchar_t* value; // nullptr: no value
    bool forceQuote;
    bool embeddedUi;
    const wchar_t* text;
    const wchar_t* engine;
};

class OptionTextTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionTextTest, ComposesOptionAndEngineText)
{
    const auto& c = GetParam();
    OptionText options;
    std::optional<std::wstring_view> name, value;
    if (c.name)
        name = c.name;
    if (c.value)
        value = c.value;
    options.Add(name, value, c.forceQuote, c.embeddedUi);
    EXPECT_EQ(options.Text(), c.text);
    EXPECT_EQ(options.EngineCommandLine(), c.engine);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OptionTextTest,
    ::testing::Values(OptionCase{L"/v", L"A=1", true, false, L" /v\"A=1\"", L""},
                      OptionCase{L"/v", L"A=1", false, false, L" /vA=1", L""},
                      OptionCase{L"/v", L"A=\"x y\"", false, false, L" /v\"A=\\\"x y\\\"\"", L""},
                      OptionCase{L"/d", L"A=\"x\"", false, false, L" /d\"A=\\\"x\\\"\"", L" /d\"A=\"x\"\""},
                      OptionCase{L"/s", nullptr, false, false, L" /s", L""},
                      OptionCase{L"/s", L"", true, false, L" /s", L""},
                      OptionCase{L"/auto", nullptr, false, false, L" /auto", L" /auto"},
                      OptionCase{L"/no_engine_x", L"1", false, false, L" /no_engine_x1", L" /no_engine_x1"},
                      OptionCase{L"/f1", L"\"C:\\a b\\Setup.ovs\"", false, true, L" /f1\"\\\"C:\\a b\\Setup.ovs\\\"\"",
                                 L" /f1\"\"C:\\a b\\Setup.ovs\"\""},
                      OptionCase{L"/v", L"A=1", true, true, L" /v\"A=1\"", L""},
                      OptionCase{L"/x", L"y", false, true, L" /xy", L" /xy"},
                      OptionCase{nullptr, L" raw text", false, false, L" raw text", L""}));

TEST(OptionText, OptionsAccumulateInOrder)
{
    OptionText options;
    options.Add(std::wstring_view(L"/s"), std::nullopt, false, false);
    options.Add(std::wstring_view(L"/v"), std::wstring_view(L"/qn"), true, false);
    EXPECT_EQ(options.Text(), L" /s /v\"/qn\"");
}

} // namespace
