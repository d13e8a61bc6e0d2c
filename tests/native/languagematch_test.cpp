#include "languagematch.h"

#include <gtest/gtest.h>

namespace {

TEST(LanguageMatch, Table)
{
    struct Case {
        LanguageOffer offer;
        std::uint16_t candidate;
        std::optional<std::uint16_t> expected;
        const char* what;
    } cases[] = {
        {{{0x409, 0x407}, {}, false}, 0x407, 0x407, "offered as is"},
        {{{0x409, 0x407}, {}, false}, 0x807, 0x407, "German (Switzerland) takes German"},
        {{{0x409, 0x407}, {0x407}, false}, 0x807, std::nullopt, "German requires an exact match"},
        {{{0x409, 0x407}, {}, true}, 0x807, std::nullopt, "every language requires an exact match"},
        {{{0x409, 0x407}, {}, true}, 0x409, 0x409, "exact match for all still takes the language itself"},
        {{{0x0c07, 0x0807}, {}, false}, 0x407, 0x0807, "no neutral form: the first of the same primary language"},
        {{{0x0c07, 0x0407}, {}, false}, 0x1407, 0x0407, "the neutral form wins over the lower id"},
        {{{0x409}, {}, false}, 0x411, std::nullopt, "Japanese is not offered"},
        {{{}, {}, false}, 0x409, std::nullopt, "nothing offered"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchLanguage(c.offer, c.candidate), c.expected) << c.what;
}

TEST(LanguageMatch, FileName)
{
    EXPECT_EQ(LanguageFileName(1033), L"0x0409.ini");
    EXPECT_EQ(LanguageFileName(0x0c07), L"0x0c07.ini");
}

} // namespace
