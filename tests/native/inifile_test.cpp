// The INI reader and writer: both syntaxes, their encodings, typed reads and
// writing back. Most cases run on byte buffers through an in-memory storage,
// so file errors can be produced at will; a few use the real native storage.
#include "inifile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

namespace {

using namespace std::string_literals;

// Files held in memory; read and write failures on demand.
class memory_storage : public ov::ini_storage {
public:
    std::uint32_t read_file(const std::wstring& path, std::string& bytes) const noexcept override
    {
        ++reads;
        if (read_error)
            return read_error;
        const auto it = files.find(path);
        if (it == files.end())
            return 2; // ERROR_FILE_NOT_FOUND
        bytes = it->second;
        return 0;
    }
    std::uint32_t write_file(const std::wstring& path, std::string_view bytes,
                             bool create_folders) const noexcept override
    {
        last_create_folders = create_folders;
        if (write_error)
            return write_error;
        files[path] = std::string(bytes);
        return 0;
    }
    std::wstring decode(std::string_view bytes, std::int32_t code_page) const override
    {
        last_code_page = code_page;
        return ov::latin1_decode(bytes);
    }
    std::string encode(std::wstring_view text, std::int32_t code_page) const override
    {
        last_code_page = code_page;
        return ov::latin1_encode(text);
    }

    mutable std::map<std::wstring, std::string> files;
    mutable int reads = 0;
    mutable bool last_create_folders = false;
    mutable std::int32_t last_code_page = -99;
    std::uint32_t read_error = 0;
    std::uint32_t write_error = 0;
};

// Independent little encoders for test data (BMP text only).
std::string utf16le(std::wstring_view text)
{
    std::string out;
    for (wchar_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return out;
}
std::string utf16be(std::wstring_view text)
{
    std::string out;
    for (wchar_t c : text) {
        out.push_back(static_cast<char>((c >> 8) & 0xFF));
        out.push_back(static_cast<char>(c & 0xFF));
    }
    return out;
}
std::string latin1(std::wstring_view text)
{
    std::string out;
    for (wchar_t c : text)
        out.push_back(static_cast<char>(c));
    return out;
}

constexpr wchar_t kMissing[] = L"<default>";

// ---------------------------------------------------------------------------
// inifilex: syntax

struct inifilex_case {
    const char* name;
    std::string file;
    const wchar_t* section;
    const wchar_t* key;
    const wchar_t* expected; // kMissing: the key must be absent
};

class InifilexSyntax : public ::testing::TestWithParam<inifilex_case> {};

TEST_P(InifilexSyntax, ReadsValue)
{
    const auto& c = GetParam();
    memory_storage storage;
    ov::inifilex ini(storage);
    ASSERT_TRUE(ini.load_bytes(c.file)) << c.name;
    EXPECT_EQ(ini.get_string(c.section, c.key, kMissing), c.expected) << c.name;
    EXPECT_EQ(ini.has_key(c.section, c.key), std::wstring(c.expected) != kMissing) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InifilexSyntax,
    ::testing::Values(inifilex_case{"case-insensitive lookup, first wins", "[A]\r\nk=1\r\nK=2\r\n", L"a", L"K", L"1"},
                      inifilex_case{"LF alone does not end a line", "[A]\nk=1\n", L"A", L"k", kMissing},
                      inifilex_case{"semicolon after a blank is no comment", "[A]\r\n ;x=1\r\n", L"A", L" ;x", L"1"},
                      inifilex_case{"semicolon first is a comment", "[A]\r\n;x=1\r\n", L"A", L";x", kMissing},
                      inifilex_case{"empty value is present", "[A]\r\nk=\r\n", L"A", L"k", L""},
                      inifilex_case{"blanks around '=' belong to key", "[A]\r\nk = v\r\n", L"A", L"k ", L" v"},
                      inifilex_case{"untrimmed key is not the bare name", "[A]\r\nk = v\r\n", L"A", L"k", kMissing},
                      inifilex_case{"value keeps later separators", "[A]\r\nk=a=b\r\n", L"A", L"k", L"a=b"},
                      inifilex_case{"text after ']' is ignored", "[A] junk\r\nk=1\r\n", L"A", L"k", L"1"},
                      inifilex_case{"section name verbatim", "[ My Sec ]\r\nk=1\r\n", L" My Sec ", L"k", L"1"},
                      inifilex_case{"empty section name", "[]\r\nk=1\r\n", L"", L"k", L"1"},
                      inifilex_case{"repeated section merges, first key wins",
                                    "[A]\r\nk=1\r\n[B]\r\n[a]\r\nk=3\r\nm=4\r\n", L"A", L"k", L"1"},
                      inifilex_case{"repeated section adds new keys", "[A]\r\nk=1\r\n[B]\r\n[a]\r\nk=3\r\nm=4\r\n",
                                    L"A", L"m", L"4"},
                      inifilex_case{"key without separator is present", "[A]\r\nflag\r\n", L"A", L"flag", L""},
                      inifilex_case{"last line without CR LF", "[A]\r\nk=1", L"A", L"k", L"1"},
                      inifilex_case{"lone CR stays in the value", "[A]\r\nk=1\rm=2\r\n", L"A", L"k", L"1\rm=2"},
                      inifilex_case{"empty lines skipped", "\r\n\r\n[A]\r\n\r\nk=1\r\n\r\n", L"A", L"k", L"1"},
                      inifilex_case{"missing section", "[A]\r\nk=1\r\n", L"B", L"k", kMissing}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(Inifilex, LfOnlyFileIsOneSectionWithoutEntries)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ASSERT_TRUE(ini.load_bytes("[A]\nk=1\nm=2\n"));
    std::vector<std::wstring> sections, keys;
    ini.get_sections(sections);
    ini.get_keys(L"A", keys);
    EXPECT_EQ(sections, std::vector<std::wstring>{L"A"});
    EXPECT_TRUE(keys.empty());
}

TEST(Inifilex, KeepsFileOrder)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ASSERT_TRUE(ini.load_bytes("[Zeta]\r\nb=1\r\na=2\r\n[alpha]\r\n[Mid]\r\nz=\r\n"));
    std::vector<std::wstring> sections, keys;
    ini.get_sections(sections);
    ini.get_keys(L"zeta", keys);
    EXPECT_EQ(sections, (std::vector<std::wstring>{L"Zeta", L"alpha", L"Mid"}));
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"b", L"a"}));
}

struct failing_case {
    const char* name;
    std::string file;
};

TEST(Inifilex, MalformedFilesFailAndKeepWhatWasRead)
{
    const failing_case cases[] = {
        {"header without ']'", "[A\r\nk=1\r\n"},
        {"entry before any section", "k=1\r\n[A]\r\n"},
        {"header without ']' after good lines", "[A]\r\nk=1\r\n[B\r\nm=2\r\n"},
        {"']' only on the next line", "[A]\r\nk=1\r\n[B\r\n]\r\n"},
    };
    for (const auto& c : cases) {
        memory_storage storage;
        ov::inifilex ini(storage);
        EXPECT_FALSE(ini.load_bytes(c.file)) << c.name;
        EXPECT_NE(ini.get_last_error(), 0u) << c.name;
    }
    memory_storage storage;
    ov::inifilex ini(storage);
    ASSERT_FALSE(ini.load_bytes("[A]\r\nk=1\r\n[B\r\nm=2\r\n"));
    EXPECT_EQ(ini.get_string(L"A", L"k"), L"1");
    EXPECT_FALSE(ini.has_section(L"B"));
}

TEST(Inifilex, CommentsAndEmptyLinesBeforeFirstSectionAreFine)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    EXPECT_TRUE(ini.load_bytes(";note\r\n\r\n;k=1\r\n[A]\r\nk=1\r\n"));
    EXPECT_EQ(ini.get_last_error(), 0u);
}

TEST(Inifilex, MultiCharacterSeparatorReadsBackWhatWasWritten)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ini.set_separator(L":=");
    ini.set_string(L"S", L"key", L"a:=b");
    const auto bytes = ini.save_to_bytes();
    EXPECT_EQ(bytes, "[S]\r\nkey:=a:=b\r\n");
    ov::inifilex again(storage);
    ASSERT_TRUE(again.load_bytes(bytes, L":="));
    EXPECT_EQ(again.get_string(L"S", L"key"), L"a:=b");
}

TEST(Inifilex, EmptySeparatorMeansEquals)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ASSERT_TRUE(ini.load_bytes("[S]\r\nk=v\r\n", L""));
    EXPECT_EQ(ini.get_separator(), L"=");
    EXPECT_EQ(ini.get_string(L"S", L"k"), L"v");
}

// ---------------------------------------------------------------------------
// inifilex: typed reads

struct int_case {
    const char* value; // nullptr: key missing
    std::int32_t expected;
};

TEST(Inifilex, GetInt)
{
    const int_case cases[] = {
        {"0x1F", 31},
        {"0X10", 16},
        {"12abc", 12},
        {"abc", 0},
        {"42", 42},
        {" 42", 42},
        {"-7", -7},
        {"+5", 5},
        {"0x", 0},
        {" 0x10", 0},
        {"0xfFz", 255},
        {"0x-1", -1},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
        {"0xFFFFFFFF", INT32_MAX},
        {"", -3},
        {nullptr, -3},
    };
    for (const auto& c : cases) {
        memory_storage storage;
        ov::inifilex ini(storage);
        if (c.value)
            ini.set_string(L"S", L"k", ov::latin1_decode(c.value));
        EXPECT_EQ(ini.get_int(L"S", L"k", -3), c.expected) << (c.value ? c.value : "(missing)");
    }
}

struct bool_case {
    const char* value;
    bool expected_with_false_default;
    bool expected_with_true_default;
};

TEST(Inifilex, GetBool)
{
    const bool_case cases[] = {
        {"Yes", true, true}, {"yes", true, true},  {"Y", true, true},      {"y", true, true},
        {"1", true, true},   {"True", true, true}, {"TRUE", true, true},   {"No", false, false},
        {"0", false, false}, {"2", false, false},  {" yes", false, false}, {"Yes ", false, false},
        {"t", false, false}, {"", false, true},    {nullptr, false, true},
    };
    for (const auto& c : cases) {
        memory_storage storage;
        ov::inifilex ini(storage);
        if (c.value)
            ini.set_string(L"S", L"k", ov::latin1_decode(c.value));
        const char* label = c.value ? c.value : "(missing)";
        EXPECT_EQ(ini.get_bool(L"S", L"k", false), c.expected_with_false_default) << label;
        EXPECT_EQ(ini.get_bool(L"S", L"k", true), c.expected_with_true_default) << label;
    }
}

TEST(Inifilex, EmptyValueGivesEmptyTextButDefaultNumbers)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ASSERT_TRUE(ini.load_bytes("[A]\r\nk=\r\nbare\r\n"));
    for (const wchar_t* key : {L"k", L"bare"}) {
        EXPECT_EQ(ini.get_string(L"A", key, L"dflt"), L"") << key;
        EXPECT_EQ(ini.get_int(L"A", key, 7), 7) << key;
        EXPECT_TRUE(ini.get_bool(L"A", key, true)) << key;
    }
}

TEST(Inifilex, TypedWritesReadBack)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ini.set_int(L"S", L"n", -42);
    ini.set_int(L"S", L"max", INT32_MAX);
    ini.set_bool(L"S", L"yes", true);
    ini.set_bool(L"S", L"no", false);
    EXPECT_EQ(ini.get_int(L"S", L"n"), -42);
    EXPECT_EQ(ini.get_int(L"S", L"max"), INT32_MAX);
    EXPECT_TRUE(ini.get_bool(L"S", L"yes"));
    EXPECT_FALSE(ini.get_bool(L"S", L"no", true));
}

// ---------------------------------------------------------------------------
// inifilex: encodings

struct encoding_case {
    const char* name;
    std::string bytes;
    std::int32_t code_page;
    bool bom;
};

const std::wstring kCanonical = L"[A]\r\nk=v\x00E9\r\n\r\n[B]\r\nx=1\r\n";

TEST(Inifilex, EncodingsReadAlikeAndSaveBackByteForByte)
{
    const encoding_case cases[] = {
        {"ANSI", latin1(kCanonical), 0, false},
        {"UTF-8 with mark", "\xEF\xBB\xBF" + latin1(L"[A]\r\nk=v") + "\xC3\xA9" + latin1(L"\r\n\r\n[B]\r\nx=1\r\n"),
         65001, true},
        {"UTF-16LE with mark", "\xFF\xFE" + utf16le(kCanonical), 1200, true},
        {"UTF-16BE with mark", "\xFE\xFF" + utf16be(kCanonical), 1201, true},
    };
    for (const auto& c : cases) {
        memory_storage storage;
        ov::inifilex ini(storage);
        ASSERT_TRUE(ini.load_bytes(c.bytes)) << c.name;
        EXPECT_EQ(ini.get_code_page(), c.code_page) << c.name;
        EXPECT_EQ(ini.get_bom(), c.bom) << c.name;
        EXPECT_EQ(ini.get_string(L"a", L"k"), L"v\x00E9") << c.name;
        EXPECT_EQ(ini.get_string(L"B", L"x"), L"1") << c.name;
        EXPECT_EQ(ini.save_to_bytes(), c.bytes) << c.name;
    }
}

TEST(Inifilex, AnsiGoesThroughTheInjectedDecoderAndEncoder)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ASSERT_TRUE(ini.load_bytes("[A]\r\nk=1\r\n"));
    EXPECT_EQ(storage.last_code_page, ov::code_page_ansi);
    storage.last_code_page = -99;
    (void)ini.save_to_bytes();
    EXPECT_EQ(storage.last_code_page, ov::code_page_ansi);
}

TEST(Inifilex, Utf8WithoutMarkIsAnsi)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ASSERT_TRUE(ini.load_bytes("[A]\r\nk=\xC3\xA9\r\n"));
    EXPECT_EQ(ini.get_code_page(), 0);
    EXPECT_EQ(ini.get_string(L"A", L"k"), L"\x00C3\x00A9");
}

TEST(Inifilex, GivenCodePageIsUsedAsIs)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ini.set_code_page(ov::code_page_utf16le);
    ASSERT_TRUE(ini.load_bytes(utf16le(L"[A]\r\nk=1\r\n")));
    EXPECT_FALSE(ini.get_bom());
    EXPECT_EQ(ini.get_string(L"A", L"k"), L"1");
    // The mark of the given encoding is still not part of the text.
    ASSERT_TRUE(ini.load_bytes("\xFF\xFE" + utf16le(L"[A]\r\nk=2\r\n")));
    EXPECT_TRUE(ini.get_bom());
    EXPECT_EQ(ini.get_string(L"A", L"k"), L"2");
}

TEST(Inifilex, DetectedCodePageDoesNotStickToTheNextLoad)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ASSERT_TRUE(ini.load_bytes("\xFF\xFE" + utf16le(L"[A]\r\nk=1\r\n")));
    ASSERT_TRUE(ini.load_bytes("[B]\r\nm=2\r\n"));
    EXPECT_EQ(ini.get_code_page(), 0);
    EXPECT_EQ(ini.get_string(L"B", L"m"), L"2");
}

TEST(Inifilex, Utf8OutsideTheBasicPlaneBecomesSurrogatePair)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ASSERT_TRUE(ini.load_bytes("\xEF\xBB\xBF[A]\r\nk=\xF0\x9F\x98\x80\r\n"));
    const std::wstring expected{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
    EXPECT_EQ(ini.get_string(L"A", L"k"), expected);
    EXPECT_EQ(ini.save_to_bytes(), "\xEF\xBB\xBF[A]\r\nk=\xF0\x9F\x98\x80\r\n");
}

// ---------------------------------------------------------------------------
// inifilex: files and saving

TEST(Inifilex, LoadFromStorageAndErrors)
{
    memory_storage storage;
    storage.files[L"C:\\s.ini"] = "[A]\r\nk=1\r\n";
    ov::inifilex ini(storage);
    ASSERT_TRUE(ini.load(L"C:\\s.ini"));
    EXPECT_EQ(ini.get_file_name(), L"C:\\s.ini");
    EXPECT_FALSE(ini.is_modified());
    EXPECT_EQ(ini.get_string(L"A", L"k"), L"1");

    EXPECT_FALSE(ini.load(L"C:\\missing.ini"));
    EXPECT_EQ(ini.get_last_error(), 2u);
    EXPECT_FALSE(ini.has_section(L"A")); // the old content is gone

    storage.read_error = 5;
    EXPECT_FALSE(ini.load(L"C:\\s.ini"));
    EXPECT_EQ(ini.get_last_error(), 5u);
    storage.read_error = 0;
    ASSERT_TRUE(ini.load(L"C:\\s.ini"));
    EXPECT_EQ(ini.get_last_error(), 0u);
}

TEST(Inifilex, SaveWritesSectionsSeparatedByEmptyLines)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ini.set_source(L"C:\\out.ini", L"=");
    ini.set_string(L"One", L"a", L"1");
    ini.set_string(L"One", L"b", L"");
    ini.get_section(L"Empty");
    ini.set_string(L"Two", L"c", L"x y");
    EXPECT_TRUE(ini.is_modified());
    ASSERT_TRUE(ini.save());
    EXPECT_FALSE(ini.is_modified());
    EXPECT_TRUE(storage.last_create_folders);
    EXPECT_EQ(storage.files[L"C:\\out.ini"], "[One]\r\na=1\r\nb=\r\n\r\n[Empty]\r\n\r\n[Two]\r\nc=x y\r\n");
}

TEST(Inifilex, BareKeysAreWrittenAloneOnlyWhenAsked)
{
    for (const bool bare : {false, true}) {
        memory_storage storage;
        ov::inifilex ini(storage);
        ASSERT_TRUE(ini.load_bytes("[A]\r\nflag\r\nk=\r\n", L"=", bare));
        EXPECT_EQ(ini.save_to_bytes(), bare ? "[A]\r\nflag\r\nk=\r\n" : "[A]\r\nflag=\r\nk=\r\n") << bare;
    }
}

TEST(Inifilex, SaveFlags)
{
    memory_storage storage;
    ov::inifilex empty(storage);
    EXPECT_TRUE(empty.save_as(L"C:\\e.ini", ov::inifilex::save_skip_empty));
    EXPECT_EQ(storage.files.count(L"C:\\e.ini"), 0u);
    ASSERT_TRUE(empty.save_as(L"C:\\e.ini"));
    EXPECT_EQ(storage.files[L"C:\\e.ini"], "");

    ov::inifilex ini(storage);
    ini.set_string(L"b", L"k", L"1");
    ini.set_string(L"_x", L"k", L"2");
    ini.set_string(L"A", L"k", L"3");
    ASSERT_TRUE(ini.save_as(L"C:\\s.ini", ov::inifilex::save_sorted | ov::inifilex::save_use_encoding,
                            ov::code_page_utf16le, true));
    // Sorted like _wcsicmp: '_' sorts before the letters folded to lower case.
    EXPECT_EQ(storage.files[L"C:\\s.ini"],
              "\xFF\xFE" + utf16le(L"[_x]\r\nk=2\r\n\r\n[A]\r\nk=3\r\n\r\n[b]\r\nk=1\r\n"));
    EXPECT_EQ(ini.get_code_page(), ov::code_page_utf16le);
    // Without save_use_encoding the arguments are ignored.
    ASSERT_TRUE(ini.save_as(L"C:\\t.ini", 0, ov::code_page_utf8, false));
    EXPECT_EQ(storage.files[L"C:\\t.ini"], storage.files[L"C:\\s.ini"]);
}

TEST(Inifilex, SaveFailuresAreRecorded)
{
    memory_storage storage;
    ov::inifilex ini(storage);
    ini.set_string(L"A", L"k", L"1");
    EXPECT_FALSE(ini.save()); // no file name
    EXPECT_EQ(ini.get_last_error(), 123u);
    EXPECT_TRUE(ini.is_modified());

    storage.write_error = 5;
    EXPECT_FALSE(ini.save_as(L"C:\\locked.ini"));
    EXPECT_EQ(ini.get_last_error(), 5u);
    EXPECT_EQ(ini.get_last_failed_file(), L"C:\\locked.ini");
    EXPECT_TRUE(ini.is_modified());
}

TEST(Inifilex, OneShotHelpers)
{
    memory_storage storage;
    storage.files[L"a.ini"] = "[S]\r\nname=x\r\nn=0x20\r\n";
    storage.files[L"bad.ini"] = "[S]\r\nname=x\r\nn=5\r\n[oops\r\n";
    EXPECT_EQ(ov::read_ini_string(L"a.ini", L"s", L"NAME", L"d", storage), L"x");
    EXPECT_EQ(ov::read_ini_string(L"a.ini", L"s", L"other", L"d", storage), L"d");
    EXPECT_EQ(ov::read_ini_string(L"none.ini", L"s", L"name", L"d", storage), L"d");
    EXPECT_EQ(ov::read_ini_string(L"bad.ini", L"s", L"name", L"d", storage), L"d");
    EXPECT_EQ(ov::read_ini_int(L"a.ini", L"S", L"n", 9, storage), 32);
    EXPECT_EQ(ov::read_ini_int(L"none.ini", L"S", L"n", 9, storage), 9);
    EXPECT_EQ(ov::read_ini_int(L"bad.ini", L"S", L"n", 9, storage), 9);
}

// ---------------------------------------------------------------------------
// inifilex: editing

class InifilexEditing : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ini.load_bytes("[Files]\r\nFile0=a\r\nFile1=b\r\nFile3=d\r\n"
                                   "[Lang.1033]\r\nk=en\r\n[Lang.1031]\r\nk=de\r\n[Other]\r\nx=1\r\ny=2\r\nz=3\r\n"));
    }
    std::vector<std::wstring> sections() const
    {
        std::vector<std::wstring> list;
        ini.get_sections(list);
        return list;
    }
    std::vector<std::wstring> keys(const wchar_t* section) const
    {
        std::vector<std::wstring> list;
        ini.get_keys(section, list);
        return list;
    }
    memory_storage storage;
    ov::inifilex ini{storage};
};

TEST_F(InifilexEditing, NumberedValuesStopAtFirstGap)
{
    std::vector<std::wstring> values;
    ini.get_numbered_values(L"Files", L"File%d", values);
    EXPECT_EQ(values, (std::vector<std::wstring>{L"a", L"b"}));

    ini.delete_key(L"Files", L"File0"); // a missing n = 0 does not stop the walk
    values.clear();
    ini.get_numbered_values(L"Files", L"File%d", values);
    EXPECT_EQ(values, (std::vector<std::wstring>{L"b"}));

    values.clear(); // no index in the pattern: one key, no endless walk
    ini.get_numbered_values(L"Other", L"x", values);
    EXPECT_EQ(values, (std::vector<std::wstring>{L"1"}));
}

TEST_F(InifilexEditing, PrefixOperations)
{
    std::vector<std::wstring> found;
    EXPECT_EQ(ini.get_sections_with_prefix(found, L"lang."), 2u);
    EXPECT_EQ(found, (std::vector<std::wstring>{L"Lang.1033", L"Lang.1031"}));

    ini.set_modified(false);
    ini.rename_sections_by_prefix(L"LANG.", L"Language.");
    EXPECT_TRUE(ini.is_modified());
    EXPECT_EQ(sections(), (std::vector<std::wstring>{L"Files", L"Language.1033", L"Language.1031", L"Other"}));
    EXPECT_EQ(ini.get_string(L"language.1031", L"k"), L"de");

    ini.delete_sections_with_prefix(L"language.");
    EXPECT_EQ(sections(), (std::vector<std::wstring>{L"Files", L"Other"}));
}

TEST_F(InifilexEditing, RenameRules)
{
    struct rename_case {
        const wchar_t* from;
        const wchar_t* to;
        bool ok;
    };
    const rename_case cases[] = {
        {L"Other", L"other", false}, // equal names
        {L"Other", L"FILES", false}, // taken
        {L"Nope", L"New", false},    // missing
        {L"other", L"Renamed", true},
    };
    for (const auto& c : cases) {
        ini.set_modified(false);
        EXPECT_EQ(ini.rename_section(c.from, c.to), c.ok) << c.from << " -> " << c.to;
        EXPECT_EQ(ini.is_modified(), c.ok);
    }
    EXPECT_EQ(ini.get_string(L"Renamed", L"y"), L"2");
    EXPECT_FALSE(ini.has_section(L"Other"));

    EXPECT_FALSE(ini.rename_key(L"Renamed", L"x", L"Y"));
    EXPECT_FALSE(ini.rename_key(L"Missing", L"x", L"w"));
    EXPECT_TRUE(ini.rename_key(L"Renamed", L"x", L"w"));
    EXPECT_EQ(keys(L"Renamed"), (std::vector<std::wstring>{L"w", L"y", L"z"}));
    EXPECT_EQ(ini.get_string(L"Renamed", L"W"), L"1");
}

TEST_F(InifilexEditing, MoveKey)
{
    EXPECT_TRUE(ini.move_key(L"Other", L"x", L"z"));
    EXPECT_EQ(keys(L"Other"), (std::vector<std::wstring>{L"y", L"z", L"x"}));
    EXPECT_TRUE(ini.move_key(L"Other", L"x", L"y"));
    EXPECT_EQ(keys(L"Other"), (std::vector<std::wstring>{L"y", L"x", L"z"}));
    EXPECT_FALSE(ini.move_key(L"Other", L"x", L"missing"));
    EXPECT_FALSE(ini.move_key(L"Other", L"missing", L"x"));
    EXPECT_EQ(ini.get_string(L"Other", L"z"), L"3"); // the index follows the moves
}

TEST_F(InifilexEditing, DeleteAndClear)
{
    EXPECT_TRUE(ini.delete_key(L"other", L"Y"));
    EXPECT_FALSE(ini.delete_key(L"other", L"Y"));
    EXPECT_EQ(ini.get_string(L"Other", L"z"), L"3");
    EXPECT_TRUE(ini.clear_section(L"Other"));
    EXPECT_TRUE(ini.has_section(L"Other"));
    EXPECT_TRUE(keys(L"Other").empty());
    EXPECT_FALSE(ini.clear_section(L"Missing"));
    EXPECT_TRUE(ini.delete_section(L"OTHER"));
    EXPECT_FALSE(ini.delete_section(L"Other"));
    EXPECT_EQ(ini.get_string(L"Lang.1031", L"k"), L"de"); // index intact after removals
    ini.clear();
    EXPECT_TRUE(sections().empty());
}

TEST_F(InifilexEditing, SortAll)
{
    ini.set_string(L"Other", L"B", L"4");
    ini.sort_all();
    EXPECT_EQ(sections(), (std::vector<std::wstring>{L"Files", L"Lang.1031", L"Lang.1033", L"Other"}));
    EXPECT_EQ(keys(L"Other"), (std::vector<std::wstring>{L"B", L"x", L"y", L"z"}));
    EXPECT_EQ(ini.get_string(L"Other", L"b"), L"4");
}

TEST_F(InifilexEditing, ImportAll)
{
    memory_storage other_storage;
    ov::inifilex other(other_storage);
    other.set_string(L"X", L"k", L"1");
    other.set_string(L"Y", L"k", L"2");
    other.get_section(L"Z");
    ini.import_all(other, L"Imported%d_%s");
    EXPECT_EQ(ini.get_string(L"Imported0_X", L"k"), L"1");
    EXPECT_EQ(ini.get_string(L"Imported1_Y", L"k"), L"2");
    EXPECT_TRUE(ini.has_section(L"Imported2_Z"));

    ini.import_all(ini, L""); // into itself under the same names: a no-op, not a crash
    EXPECT_EQ(ini.get_string(L"Imported1_Y", L"k"), L"2");

    ini.import_section(L"Other", other.get_section(L"X"));
    EXPECT_EQ(ini.get_string(L"Other", L"k"), L"1");
    EXPECT_EQ(ini.get_string(L"Other", L"x"), L"1");
}

// ---------------------------------------------------------------------------
// profilefilex

struct profile_case {
    const char* name;
    std::string file;
    const wchar_t* section;
    const wchar_t* key;
    const wchar_t* expected; // kMissing: key absent
};

class ProfileSyntax : public ::testing::TestWithParam<profile_case> {};

TEST_P(ProfileSyntax, ReadsValue)
{
    const auto& c = GetParam();
    memory_storage storage;
    ov::profilefilex profile(storage);
    ASSERT_TRUE(profile.load_bytes(c.file)) << c.name;
    const auto value = profile.get_value(c.section, c.key);
    if (std::wstring(c.expected) == kMissing)
        EXPECT_FALSE(value.has_value()) << c.name;
    else
        EXPECT_EQ(value.value_or(L"<absent>"), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileSyntax,
    ::testing::Values(profile_case{"key trimmed, value keeps leading blanks", "[S]\r\n  Key  =  v  \r\n", L"S", L"Key",
                                   L"  v"},
                      profile_case{"last occurrence wins", "[S]\r\nk=1\r\nK=2\r\n", L"s", L"k", L"2"},
                      profile_case{"tabs trimmed", "[S]\r\n\tk\t=\tv\t\r\n", L"S", L"k", L"\tv"},
                      profile_case{"indented header", "  [S]\r\nk=1\r\n", L"S", L"k", L"1"},
                      profile_case{"section name not trimmed", "[ S ]\r\nk=1\r\n", L" S ", L"k", L"1"},
                      profile_case{"comment", "[S]\r\n;k=1\r\n", L"S", L";k", kMissing},
                      profile_case{"indented comment", "[S]\r\n   ;k=1\r\n", L"S", L";k", kMissing},
                      profile_case{"line without '='", "[S]\r\nk\r\n", L"S", L"k", kMissing},
                      profile_case{"entry before any section", "k=1\r\n[S]\r\n", L"S", L"k", kMissing},
                      profile_case{"'=' in the section name", "[a=b]\r\nk=1\r\n", L"a=b", L"k", L"1"},
                      profile_case{"'[' without ']' is an entry", "[S]\r\n[k=1\r\n", L"S", L"[k", L"1"},
                      profile_case{"repeated section merges", "[S]\r\na=1\r\n[T]\r\n[s]\r\nb=2\r\n", L"S", L"a", L"1"},
                      profile_case{"empty value", "[S]\r\nk=\r\n", L"S", L"k", L""},
                      profile_case{"LF-only file", "[S]\nk=1\nm=2", L"S", L"m", L"2"},
                      profile_case{"LF lines run up to the next CR LF", "[S]\nk=1\r\nm=2\n", L"S", L"k", kMissing},
                      profile_case{"... and the header still counts", "[S]\nk=1\r\nm=2\n", L"S", L"m", L"2"},
                      profile_case{"CR is not trimmed", "[S]\r\nk=1\r\r\n", L"S", L"k", L"1\r"}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(Profilefilex, EncodingRules)
{
    std::string late_zero = "[S]\r\nk=1\r\n";
    while (late_zero.size() < 1100)
        late_zero += ";padding padding padding\r\n";
    late_zero += std::string("\0\r\nz=2\r\n", 8);

    struct encoding_case {
        const char* name;
        std::string bytes;
        const wchar_t* key;
        const wchar_t* expected;
    };
    const encoding_case cases[] = {
        {"ANSI", "[S]\r\nk=\xE9\r\n", L"k", L"\x00E9"},
        {"UTF-16LE with mark", "\xFF\xFE" + utf16le(L"[S]\r\nk=\x0416\r\n"), L"k", L"\x0416"},
        {"UTF-16LE without mark (zero bytes)", utf16le(L"[S]\r\nk=\x0416\r\n"), L"k", L"\x0416"},
        {"UTF-16BE with mark", "\xFE\xFF" + utf16be(L"[S]\r\nk=\x0416\r\n"), L"k", L"\x0416"},
        {"UTF-8 with mark", "\xEF\xBB\xBF[S]\r\nk=\xD0\x96\r\n", L"k", L"\x0416"},
        {"ANSI stops at a late zero byte", late_zero, L"k", L"1"},
        {"... and nothing after it is read", late_zero, L"z", kMissing},
    };
    for (const auto& c : cases) {
        memory_storage storage;
        ov::profilefilex profile(storage);
        ASSERT_TRUE(profile.load_bytes(c.bytes)) << c.name;
        const auto value = profile.get_value(L"S", c.key);
        if (std::wstring(c.expected) == kMissing)
            EXPECT_FALSE(value) << c.name;
        else
            EXPECT_EQ(value.value_or(L"<absent>"), c.expected) << c.name;
    }
}

TEST(Profilefilex, AnsiUsesTheThreadCodePage)
{
    memory_storage storage;
    ov::profilefilex profile(storage);
    ASSERT_TRUE(profile.load_bytes("[S]\r\nk=1\r\n"));
    EXPECT_EQ(storage.last_code_page, ov::code_page_thread_ansi);
}

class ProfileBuffer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(profile.load_bytes("[S]\r\nbb=value\r\na=1\r\n[Empty]\r\n")); }
    std::wstring read(const wchar_t* section, const wchar_t* key, std::size_t size, bool expected_result = true)
    {
        std::wstring buffer(size + 4, L'#');
        EXPECT_EQ(profile.get_string(section, key, L"dflt", buffer.data(), size), expected_result);
        for (std::size_t i = size; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], L'#') << "written past the buffer at " << i;
        return buffer.substr(0, size);
    }
    memory_storage storage;
    ov::profilefilex profile{storage};
};

TEST_F(ProfileBuffer, Values)
{
    EXPECT_EQ(read(L"s", L"BB", 16), std::wstring(L"value\0##########", 16));
    EXPECT_EQ(read(L"S", L"bb", 4), std::wstring(L"val\0", 4));
    EXPECT_EQ(read(L"S", L"bb", 1), std::wstring(L"\0", 1));
    // A missing key of an existing section is empty, not the default.
    EXPECT_EQ(read(L"S", L"missing", 8), std::wstring(L"\0#######", 8));
    // A missing section gives the default and false.
    EXPECT_EQ(read(L"None", L"bb", 8, false), std::wstring(L"dflt\0###", 8));
    EXPECT_EQ(read(L"None", L"bb", 3, false), std::wstring(L"df\0", 3));
    EXPECT_EQ(read(nullptr, L"bb", 8, false), std::wstring(L"dflt\0###", 8));
}

TEST_F(ProfileBuffer, KeyLists)
{
    EXPECT_EQ(read(L"S", nullptr, 10), std::wstring(L"a\0bb\0\0####", 10));
    EXPECT_EQ(read(L"S", nullptr, 6), std::wstring(L"a\0bb\0\0", 6));
    EXPECT_EQ(read(L"S", nullptr, 5), std::wstring(L"a\0b\0\0", 5)); // cut, still ends with two zeros
    EXPECT_EQ(read(L"S", nullptr, 2), std::wstring(L"\0\0", 2));
    EXPECT_EQ(read(L"Empty", nullptr, 4), std::wstring(L"\0\0##", 4));
    EXPECT_EQ(read(L"Empty", nullptr, 1), std::wstring(L"\0", 1));
}

TEST_F(ProfileBuffer, NoBufferOrNoRoom)
{
    EXPECT_FALSE(profile.get_string(L"S", L"a", L"d", nullptr, 10));
    wchar_t c = L'#';
    EXPECT_FALSE(profile.get_string(L"S", L"a", L"d", &c, 0));
    EXPECT_EQ(c, L'#');
}

TEST(Profilefilex, WriteString)
{
    memory_storage storage;
    ov::profilefilex profile(storage);
    EXPECT_FALSE(profile.write_string(nullptr, L"k", L"v"));
    EXPECT_TRUE(profile.write_string(L"S", L"k", L"1"));
    EXPECT_TRUE(profile.write_string(L"s", L"K", L"2")); // same key, ASCII case ignored
    EXPECT_TRUE(profile.write_string(L"S", L"other", L"3"));
    EXPECT_EQ(profile.get_keys(L"S"), (std::vector<std::wstring>{L"k", L"other"}));
    EXPECT_EQ(profile.get_value(L"S", L"k"), L"2");
    EXPECT_TRUE(profile.write_string(L"S", L"k", nullptr));
    EXPECT_EQ(profile.get_keys(L"S"), std::vector<std::wstring>{L"other"});
    EXPECT_TRUE(profile.write_string(L"Missing", L"k", nullptr));
    EXPECT_TRUE(profile.write_string(L"Missing", nullptr, nullptr));
    EXPECT_TRUE(profile.write_string(L"S", nullptr, nullptr));
    EXPECT_FALSE(profile.has_section(L"S"));
}

TEST(Profilefilex, SaveFormatAndRoundTrip)
{
    memory_storage storage;
    ov::profilefilex profile(storage);
    ASSERT_TRUE(profile.save(L"empty.ini"));
    EXPECT_EQ(storage.files[L"empty.ini"], "\xFF\xFE");
    EXPECT_FALSE(storage.last_create_folders);

    ASSERT_TRUE(profile.write_string(L"b", L"z", L"  last"));
    ASSERT_TRUE(profile.write_string(L"b", L"A", L"first"));
    ASSERT_TRUE(profile.write_string(L"_x", L"k", L"\x0416"));
    ASSERT_TRUE(profile.write_string(L"Empty", L"k", L"1"));
    ASSERT_TRUE(profile.write_string(L"Empty", L"k", nullptr));
    ASSERT_TRUE(profile.save(L"out.ini"));
    EXPECT_EQ(profile.file_name(), L"out.ini");
    EXPECT_EQ(storage.files[L"out.ini"],
              "\xFF\xFE" + utf16le(L"[_x]\r\nk=\x0416\r\n\r\n[b]\r\nA=first\r\nz=  last\r\n\r\n[Empty]\r\n"));

    ov::profilefilex again(storage);
    ASSERT_TRUE(again.load(L"out.ini"));
    EXPECT_EQ(again.table(), profile.table());
}

TEST(Profilefilex, LoadAndSaveFailures)
{
    memory_storage storage;
    ov::profilefilex profile(storage);
    ASSERT_TRUE(profile.write_string(L"S", L"k", L"1"));
    EXPECT_FALSE(profile.load(L"missing.ini"));
    EXPECT_EQ(profile.last_error(), 2u);
    EXPECT_TRUE(profile.table().empty()); // a failed load still empties the table
    EXPECT_EQ(profile.file_name(), L"missing.ini");

    ASSERT_TRUE(profile.write_string(L"S", L"k", L"1"));
    storage.write_error = 5;
    EXPECT_FALSE(profile.save(L"out.ini"));
    EXPECT_EQ(profile.last_error(), 5u);
    EXPECT_EQ(profile.file_name(), L"missing.ini");
    EXPECT_EQ(storage.files.count(L"out.ini"), 0u);
}

TEST(Profilefilex, EmptyFileLoads)
{
    memory_storage storage;
    storage.files[L"e.ini"] = "";
    ov::profilefilex profile(storage);
    EXPECT_TRUE(profile.load(L"e.ini"));
    EXPECT_TRUE(profile.table().empty());
}

// ---------------------------------------------------------------------------
// Both classes with the native file storage.

class NativeFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = std::filesystem::temp_directory_path() /
                 ("ov_ini_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::wstring path(const char* name) const { return ov::latin1_decode((folder / name).string()); }
    std::size_t files_in(const std::filesystem::path& dir) const
    {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir))
            ++n;
        return n;
    }
    std::filesystem::path folder;
};

TEST_F(NativeFiles, InifilexCreatesFoldersAndReplacesWhole)
{
    const auto file = folder / "sub" / "deeper" / "setup.ini";
    ov::inifilex ini;
    ini.set_string(L"Startup", L"Product", L"Demo");
    ASSERT_TRUE(
        ini.save_as(ov::latin1_decode(file.string()), ov::inifilex::save_use_encoding, ov::code_page_utf16le, true));
    ini.set_string(L"Startup", L"Product", L"Second");
    ASSERT_TRUE(ini.save_as(ov::latin1_decode(file.string())));
    EXPECT_EQ(files_in(file.parent_path()), 1u); // no temporary left beside it

    ov::inifilex again;
    ASSERT_TRUE(again.load(ov::latin1_decode(file.string())));
    EXPECT_EQ(again.get_string(L"startup", L"product"), L"Second");
    EXPECT_EQ(again.get_code_page(), ov::code_page_utf16le);
}

TEST_F(NativeFiles, ProfileDoesNotCreateFolders)
{
    ov::profilefilex profile;
    ASSERT_TRUE(profile.write_string(L"Files", L"a.txt", L"C:\\t\\a.txt"));
    EXPECT_FALSE(profile.save(path("missing/_OVMSIDEL.INI")));
    EXPECT_NE(profile.last_error(), 0u);
    ASSERT_TRUE(profile.save(path("_OVMSIDEL.INI")));
    ov::profilefilex again;
    ASSERT_TRUE(again.load(path("_OVMSIDEL.INI")));
    EXPECT_EQ(again.get_value(L"files", L"A.TXT"), L"C:\\t\\a.txt");
    EXPECT_EQ(files_in(folder), 1u);
}

TEST_F(NativeFiles, MissingFileReportsNotFound)
{
    ov::inifilex ini;
    EXPECT_FALSE(ini.load(path("none.ini")));
    EXPECT_EQ(ini.get_last_error(), 2u);
}

} // namespace
