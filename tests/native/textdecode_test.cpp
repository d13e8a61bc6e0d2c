// Byte-order marks and the Unicode decoders behind the text-file reader.
#include "textdecode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring units(std::initializer_list<unsigned> list)
{
    std::wstring out;
    for (unsigned u : list)
        out.push_back(static_cast<wchar_t>(u));
    return out;
}

TEST(TextDecode, DetectsMarks)
{
    struct mark_case {
        std::string bytes;
        std::int32_t code_page;
        std::size_t length;
    };
    const mark_case cases[] = {
        {"\xFF\xFE[", ov::code_page_utf16le, 2},  {"\xFE\xFF\0[", ov::code_page_utf16be, 2},
        {"\xEF\xBB\xBF[", ov::code_page_utf8, 3}, {"\xEF\xBB[", ov::code_page_ansi, 0},
        {"\xFF", ov::code_page_ansi, 0},          {"", ov::code_page_ansi, 0},
        {"[A]", ov::code_page_ansi, 0},
    };
    for (const auto& c : cases) {
        const auto mark = ov::detect_byte_order_mark(c.bytes);
        EXPECT_EQ(mark.code_page, c.code_page) << c.bytes;
        EXPECT_EQ(mark.length, c.length) << c.bytes;
    }
}

TEST(TextDecode, MalformedUtf8BecomesReplacementCharacters)
{
    struct utf8_case {
        const char* name;
        std::string bytes;
        std::wstring expected;
    };
    const utf8_case cases[] = {
        {"ASCII", "ab", L"ab"},
        {"two bytes", "\xC3\xA9", units({0xE9})},
        {"three bytes", "\xE2\x82\xAC", units({0x20AC})},
        {"four bytes", "\xF0\x9F\x98\x80", units({0xD83D, 0xDE00})},
        {"overlong lead", "\xC0\x80", units({0xFFFD, 0xFFFD})},
        {"encoded surrogate", "\xED\xA0\x80", units({0xFFFD, 0xFFFD, 0xFFFD})},
        {"above U+10FFFF", "\xF4\x90\x80\x80", units({0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD})},
        {"truncated at the end", "a\xE2\x82", units({'a', 0xFFFD})},
        {"truncated before ASCII", "\xE2\x82z", units({0xFFFD, 'z'})},
        {"lone continuation", "\x80z", units({0xFFFD, 'z'})},
        {"invalid byte", "\xFF", units({0xFFFD})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ov::decode_utf8(c.bytes), c.expected) << c.name;
}

TEST(TextDecode, EncodersRoundTripAndMendLoneSurrogates)
{
    const auto text = units({'A', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xFFFF});
    EXPECT_EQ(ov::decode_utf8(ov::encode_utf8(text)), text);
    EXPECT_EQ(ov::decode_utf16le(ov::encode_utf16le(text)), text);
    EXPECT_EQ(ov::decode_utf16be(ov::encode_utf16be(text)), text);
    EXPECT_EQ(ov::encode_utf16le(units({0x1234})), "\x34\x12");
    EXPECT_EQ(ov::encode_utf16be(units({0x1234})), "\x12\x34");
    EXPECT_EQ(ov::encode_utf8(units({0xD800, 'x'})), "\xEF\xBF\xBDx");
    EXPECT_EQ(ov::encode_utf8(units({0xDC00})), "\xEF\xBF\xBD");
}

TEST(TextDecode, OddUtf16ByteIsDropped)
{
    EXPECT_EQ(ov::decode_utf16le(std::string("A\0B", 3)), L"A");
    EXPECT_EQ(ov::decode_utf16be(std::string("\0A\0", 3)), L"A");
}

TEST(TextDecode, DecodeTextWithDetectionOrGivenCodePage)
{
    int ansi_calls = 0;
    const ov::multibyte_decoder ansi = [&](std::string_view bytes, std::int32_t cp) {
        ++ansi_calls;
        EXPECT_EQ(cp, cp == 1252 ? 1252 : ov::code_page_ansi);
        return std::wstring(L"ansi:") + ov::latin1_decode(bytes);
    };
    struct decode_case {
        const char* name;
        std::string bytes;
        std::int32_t code_page;
        std::wstring text;
        std::int32_t detected;
        bool bom;
    };
    const decode_case cases[] = {
        {"LE mark", std::string("\xFF\xFEh\0i\0", 6), ov::code_page_detect, L"hi", 1200, true},
        {"BE mark", std::string("\xFE\xFF\0h\0i", 6), ov::code_page_detect, L"hi", 1201, true},
        {"UTF-8 mark", "\xEF\xBB\xBFhi", ov::code_page_detect, L"hi", 65001, true},
        {"no mark", "hi", ov::code_page_detect, L"ansi:hi", 0, false},
        {"empty", "", ov::code_page_detect, L"", 0, false},
        {"given LE, no mark", std::string("h\0i\0", 4), 1200, L"hi", 1200, false},
        {"given UTF-8 keeps other marks", "\xFF\xFEhi", 65001, units({0xFFFD, 0xFFFD, 'h', 'i'}), 65001, false},
        {"given code page", "hi", 1252, L"ansi:hi", 1252, false},
    };
    for (const auto& c : cases) {
        const auto decoded = ov::decode_text(c.bytes, c.code_page, ansi);
        EXPECT_EQ(decoded.text, c.text) << c.name;
        EXPECT_EQ(decoded.code_page, c.detected) << c.name;
        EXPECT_EQ(decoded.had_bom, c.bom) << c.name;
    }
    EXPECT_EQ(ansi_calls, 2);
}

TEST(TextDecode, EncodeTextWritesTheMarkOfItsCodePage)
{
    const ov::multibyte_encoder ansi = [](std::wstring_view text, std::int32_t) {
        return "A:" + ov::latin1_encode(text);
    };
    EXPECT_EQ(ov::encode_text(L"x", 1200, true, ansi), std::string("\xFF\xFEx\0", 4));
    EXPECT_EQ(ov::encode_text(L"x", 1201, true, ansi), std::string("\xFE\xFF\0x", 4));
    EXPECT_EQ(ov::encode_text(L"x", 65001, true, ansi), "\xEF\xBB\xBFx");
    EXPECT_EQ(ov::encode_text(L"x", 65001, false, ansi), "x");
    EXPECT_EQ(ov::encode_text(L"x", ov::code_page_detect, true, ansi), "A:x"); // ANSI has no mark
    EXPECT_EQ(ov::encode_text(L"x", 0, false, ansi), "A:x");
    EXPECT_EQ(ov::latin1_encode(units({'a', 0xE9, 0x20AC})), "a\xE9?");
}

} // namespace
