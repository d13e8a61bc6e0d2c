// The payload format read natively on crafted buffers: header and records,
// where the reader finds the payload behind a PE image, descrambling,
// inflation and the one-pass extraction with its failure cases.
#include "payloadformat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "payload_fixture.h"
#include "test_pe.h"

namespace {

namespace payload = ov::payload;
using ov::test::fixture_entry;
using ov::test::scramble;
using bytes = std::vector<std::uint8_t>;

// Collects the extracted bytes and the observer's calls.
struct capture final : payload::byte_sink, payload::extract_observer {
    bytes data;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
    int inflate_starts = 0;
    int stop_at_call = -1; // answer "stop" on this progress call
    bool fail_writes = false;

    bool write(const std::uint8_t* p, std::size_t n) noexcept override
    {
        if (fail_writes)
            return false;
        data.insert(data.end(), p, p + n);
        return true;
    }
    bool on_progress(std::uint64_t done, std::uint64_t total) noexcept override
    {
        progress.emplace_back(done, total);
        return static_cast<int>(progress.size()) - 1 == stop_at_call;
    }
    void on_inflate_start() noexcept override { ++inflate_starts; }
};

bytes launcher_with(const bytes& payload_bytes, bool pe32plus = false)
{
    bytes file = ov::test::make_pe(pe32plus);
    file.insert(file.end(), payload_bytes.begin(), payload_bytes.end());
    return file;
}

payload::payload_index index_of(const bytes& file)
{
    payload::memory_source source(file.data(), file.size());
    return payload::locate_payload(source);
}

payload::extract_result extract(const bytes& file, const payload::entry& e, capture& out)
{
    payload::memory_source source(file.data(), file.size());
    return payload::extract_entry(source, e, out, &out);
}

// ---------------------------------------------------------------- header and records

TEST(PayloadHeader, SignatureIsZeroTerminatedTextComparedWithoutCase)
{
    struct {
        const char* field; // up to 14 bytes, zero-padded
        bool matches;
    } cases[] = {
        {"Orvane", true},  {"ORVANE", true}, {"orVANE", true},          {"Orvan", false}, {"Orvanex", false},
        {"Orvanf", false}, {"", false},      {"OrvaneOrvane12", false}, // no terminator in the field
    };
    for (const auto& c : cases) {
        std::uint8_t header[46] = {};
        std::memcpy(header, c.field, std::strlen(c.field));
        EXPECT_EQ(payload::signature_matches(header), c.matches) << c.field;
    }
    // Bytes after the terminator do not matter.
    std::uint8_t header[46] = {'O', 'r', 'v', 'a', 'n', 'e', 0, 'X', 'Y'};
    EXPECT_TRUE(payload::signature_matches(header));
}

TEST(PayloadHeader, CapitalisedSignatureIsFoundBehindTheImage)
{
    const bytes file = launcher_with(ov::test::make_payload({{"Setup.INI", {1, 2, 3}}}, "ORVANE"));
    const auto index = index_of(file);
    ASSERT_EQ(index.entries.size(), 1u);
    EXPECT_EQ(index.start, 0x600u);
}

TEST(PayloadRecord, FieldsSitAtTheirOffsetsLittleEndian)
{
    payload::entry_record r;
    r.name = "Setup.INI";
    r.flags = payload::flag_scrambled | payload::flag_block_mode;
    r.size = 0x01020304;
    r.compressed = 1;
    const auto bytes_ = payload::make_record(r);
    ASSERT_TRUE(bytes_);
    const auto& b = *bytes_;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data())), "Setup.INI");
    EXPECT_EQ(b[260], 0x06);
    EXPECT_EQ(b[268], 0x04);
    EXPECT_EQ(b[269], 0x03);
    EXPECT_EQ(b[270], 0x02);
    EXPECT_EQ(b[271], 0x01);
    EXPECT_EQ(b[280], 0x01);
    EXPECT_EQ(b[281], 0x00);
    const auto back = payload::parse_record(b.data());
    EXPECT_EQ(back.name, r.name);
    EXPECT_EQ(back.flags, r.flags);
    EXPECT_EQ(back.size, r.size);
    EXPECT_TRUE(back.is_compressed() && back.is_scrambled() && back.is_block_mode());

    r.name.assign(260, 'a');
    EXPECT_FALSE(payload::make_record(r)) << "a 260-byte name leaves no room for its terminator";
    r.name.assign(259, 'a');
    EXPECT_TRUE(payload::make_record(r));
}

TEST(PayloadRecord, UnterminatedNameFieldIsReadWithinTheField)
{
    std::uint8_t record[312];
    std::memset(record, 'x', sizeof record);
    EXPECT_EQ(payload::parse_record(record).name.size(), 260u);
    EXPECT_FALSE(payload::is_safe_entry_name(payload::parse_record(record).name));
}

TEST(PayloadIndex, DataOffsetsFollowEachRecordAndPreviousData)
{
    const bytes file = launcher_with(ov::test::make_payload({{"a.bin", bytes(10, 1)}, {"b.bin", bytes(20, 2)}}));
    const auto index = index_of(file);
    ASSERT_EQ(index.entries.size(), 2u);
    const std::uint64_t start = index.start;
    EXPECT_EQ(index.entries[0].data_offset, start + 46 + 312);
    EXPECT_EQ(index.entries[1].data_offset, start + 46 + 312 + 10 + 312);
    EXPECT_EQ(payload::total_size(index.entries), 30u);
}

TEST(PayloadIndex, LookupIgnoresCaseAndTakesTheFirstMatch)
{
    const bytes file =
        launcher_with(ov::test::make_payload({{"Setup.INI", {1}}, {"data.cab", {2}}, {"SETUP.ini", {3, 3}}}));
    const auto index = index_of(file);
    const auto* e = payload::find_entry(index.entries, "setup.ini");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->record.name, "Setup.INI");
    EXPECT_EQ(e->record.size, 1u);
    EXPECT_EQ(payload::find_entry(index.entries, "setup.in"), nullptr);
    EXPECT_EQ(payload::find_entry(index.entries, "missing"), nullptr);
}

TEST(PayloadIndex, NoPayloadCases)
{
    const bytes pe = ov::test::make_pe();
    struct {
        const char* what;
        bytes file;
    } cases[] = {
        {"bare launcher", pe},
        {"count of zero", launcher_with(ov::test::make_payload({{"a", {1}}}, "Orvane", 0))},
        {"other signature", launcher_with(ov::test::make_payload({{"a", {1}}}, "Orvana"))},
        {"header cut short",
         [&] {
             bytes f = launcher_with(ov::test::make_payload({{"a", {1}}}));
             f.resize(pe.size() + 40);
             return f;
         }()},
        {"empty file", bytes{}},
    };
    for (const auto& c : cases) {
        const auto index = index_of(c.file);
        EXPECT_TRUE(index.entries.empty()) << c.what;
    }
}

TEST(PayloadIndex, ListStopsWhereTheFileEnds)
{
    // The header claims 65535 entries; only two records exist.
    bytes file = launcher_with(ov::test::make_payload({{"a", bytes(5, 1)}, {"b", bytes(7, 2)}}, "Orvane", 65535));
    EXPECT_EQ(index_of(file).entries.size(), 2u);
    // A record cut in the middle is not read.
    file.resize(file.size() - 7 - 100);
    EXPECT_EQ(index_of(file).entries.size(), 1u);
    // A size pointing far beyond the file ends the list there.
    fixture_entry liar{"big", bytes(3, 1)};
    liar.recorded_size = 0xFFFFFFF0u;
    file = launcher_with(ov::test::make_payload({liar, {"after", {1}}}));
    const auto index = index_of(file);
    ASSERT_EQ(index.entries.size(), 1u);
    EXPECT_EQ(index.entries[0].record.size, 0xFFFFFFF0u);
}

TEST(PayloadIndex, SignedLauncherPayloadIsFoundOnTheSecondReading)
{
    bytes file = ov::test::make_pe();
    const std::uint64_t image_end = file.size();
    ov::test::append_certificate(file, 0x418);
    const bytes p = ov::test::make_payload({{"setup.ini", {9, 9}}});
    file.insert(file.end(), p.begin(), p.end());
    const auto index = index_of(file);
    ASSERT_EQ(index.entries.size(), 1u);
    EXPECT_EQ(index.start, image_end + 0x418);
    EXPECT_EQ(index.entries[0].data_offset, image_end + 0x418 + 46 + 312);
}

TEST(PayloadIndex, PayloadAtTheImageEndWinsOverOneAfterTheCertificate)
{
    // Directory 4 claims a certificate table, but a payload sits at the image
    // end: the first reading finds it.
    bytes file = ov::test::make_pe();
    ov::test::set_directory(file, 4, static_cast<std::uint32_t>(file.size()), 0x100);
    const bytes p = ov::test::make_payload({{"first", bytes(0x200, 1)}});
    file.insert(file.end(), p.begin(), p.end());
    const auto index = index_of(file);
    ASSERT_EQ(index.entries.size(), 1u);
    EXPECT_EQ(index.entries[0].record.name, "first");
}

// ---------------------------------------------------------------- executable image

TEST(ImageEnd, CraftedHeaders)
{
    using ov::test::make_pe;
    using ov::test::put32;
    const std::uint32_t base_end = 0x200 + 0x200 + 0x200;
    auto with_debug = [](bool plus, std::uint32_t beyond) {
        bytes f = make_pe(plus);
        const std::uint32_t rdata = ov::test::section_raw_offset(f, 1);
        // Two debug entries in .rdata at RVA 0x2010: one whose data lies in the
        // image (not counted), one whose data follows it.
        ov::test::set_directory(f, 6, 0x2010, 56);
        put32(f, rdata + 0x10 + 16, 0x20);
        put32(f, rdata + 0x10 + 24, rdata + 0x100);
        put32(f, rdata + 0x10 + 28 + 16, beyond);
        put32(f, rdata + 0x10 + 28 + 24, static_cast<std::uint32_t>(f.size()));
        f.resize(f.size() + beyond, 0xDD);
        return f;
    };
    struct {
        const char* what;
        bytes file;
        std::optional<std::uint64_t> without_signature;
        std::optional<std::uint64_t> with_signature;
    } cases[] = {
        {"PE32", make_pe(false), base_end, base_end},
        {"PE32+", make_pe(true), base_end, base_end},
        {"debug data beyond the sections", with_debug(false, 0x80), base_end + 0x80, base_end + 0x80},
        {"PE32+ debug data", with_debug(true, 0x44), base_end + 0x44, base_end + 0x44},
        {"certificate table",
         [&] {
             bytes f = make_pe();
             ov::test::append_certificate(f, 0x300);
             return f;
         }(),
         base_end, base_end + 0x300},
        {"debug directory in a .debug section",
         [&] {
             bytes f = make_pe(false, {{".text", 0x1000, 0x200}, {".debug", 0x3000, 0x200}});
             const std::uint32_t debug = ov::test::section_raw_offset(f, 1);
             ov::test::set_directory(f, 6, 0x3000, 28);
             put32(f, debug + 16, 0x30);
             put32(f, debug + 24, static_cast<std::uint32_t>(f.size()));
             return f;
         }(),
         0x200 + 0x400 + 0x30, 0x200 + 0x400 + 0x30},
        {"debug directory outside every section is ignored",
         [&] {
             bytes f = make_pe();
             ov::test::set_directory(f, 6, 0x9000, 28);
             return f;
         }(),
         base_end, base_end},
        {"debug directory claiming 4 GiB of entries is bounded by the file",
         [&] {
             bytes f = with_debug(false, 0x10);
             ov::test::set_directory(f, 6, 0x2010, 0xFFFFFFFF);
             return f;
         }(),
         base_end + 0x10, base_end + 0x10},
        {"no data directories declared",
         [&] {
             bytes f = make_pe();
             ov::test::append_certificate(f, 0x100);
             put32(f, ov::test::optional_offset + 92, 0);
             return f;
         }(),
         base_end, base_end},
        {"not MZ",
         [&] {
             bytes f = make_pe();
             f[0] = 'Z';
             return f;
         }(),
         std::nullopt, std::nullopt},
        {"PE offset beyond the file",
         [&] {
             bytes f = make_pe();
             put32(f, 0x3C, 0x7FFFFFF0);
             return f;
         }(),
         std::nullopt, std::nullopt},
        {"no PE signature",
         [&] {
             bytes f = make_pe();
             f[ov::test::pe_offset + 1] = 'X';
             return f;
         }(),
         std::nullopt, std::nullopt},
        {"unknown optional header magic",
         [&] {
             bytes f = make_pe();
             f[ov::test::optional_offset] = 0x07;
             return f;
         }(),
         std::nullopt, std::nullopt},
        {"headers cut short",
         [&] {
             bytes f = make_pe();
             f.resize(ov::test::pe_offset + 200);
             return f;
         }(),
         std::nullopt, std::nullopt},
        {"section table beyond the file",
         [&] {
             bytes f = make_pe();
             ov::test::put16(f, ov::test::pe_offset + 6, 0xFFFF);
             return f;
         }(),
         std::nullopt, std::nullopt},
        {"empty", bytes{}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        payload::memory_source source(c.file.data(), c.file.size());
        EXPECT_EQ(payload::find_image_end(source, false), c.without_signature) << c.what;
        EXPECT_EQ(payload::find_image_end(source, true), c.with_signature) << c.what;
    }
}

// ---------------------------------------------------------------- names

TEST(EntryNames, UnsafeNamesAreRefused)
{
    const char* unsafe[] = {
        "",          "..",       ".",    "..\\evil.exe", "../evil.exe", "sub\\file",  "sub/file",  "C:evil",
        "file:ads",  "a..b",     "CON",  "con",          "Con.txt",     "nul.tar.gz", "PRN",       "AUX.dat",
        "COM1",      "com9.log", "LPT1", "lpt5.txt",     "CON .txt",    "CONIN$",     "trail.",    "trail ",
        "wild*.txt", "q?.txt",   "a\"b", "a<b",          "a>b",         "a|b",        "tab\there", "\x01",
    };
    for (const char* name : unsafe)
        EXPECT_FALSE(payload::is_safe_entry_name(std::string_view(name))) << name;
    const char* safe[] = {"setup.ini",   "Setup.INI", "0x0409.ini", "product.msi", "COM10",      "COM0",     "LPT",
                          "CONSOLE.txt", "nul_",      "a.b.c",      ".hidden",     "data 1.cab", "AUXILIARY"};
    for (const char* name : safe)
        EXPECT_TRUE(payload::is_safe_entry_name(std::string_view(name))) << name;
    EXPECT_TRUE(payload::is_safe_entry_name(std::string(259, 'n')));
    EXPECT_FALSE(payload::is_safe_entry_name(std::string(260, 'n')));
    // The wide form the launcher uses applies the same rules.
    EXPECT_FALSE(payload::is_safe_entry_name(std::wstring_view(L"..\\..\\Windows\\evil.dll")));
    EXPECT_FALSE(payload::is_safe_entry_name(std::wstring_view(L"LPT\u00B9.txt")));
    EXPECT_FALSE(payload::is_safe_entry_name(std::wstring_view(L"Aux")));
    EXPECT_TRUE(payload::is_safe_entry_name(std::wstring_view(L"\u00e9t\u00e9.ini")));
}

// ---------------------------------------------------------------- scrambling

TEST(Scrambling, MaskBytes)
{
    const auto mask = payload::scramble_mask();
    EXPECT_EQ(mask[0], 0x3A);
    EXPECT_EQ(mask[1], 0xC5);
    EXPECT_EQ(mask[2], 0x7E);
    EXPECT_EQ(mask[3], 0x91);
}

TEST(Scrambling, PublishedExampleForOtherTools)
{
    // The worked example of docs/payload-format.md.
    const bytes plain = {0x5B, 0x53, 0x74, 0x61, 0x72, 0x74, 0x75, 0x70, 0x5D, 0x0D, 0x0A};
    const bytes stored = {0xDC, 0xC0, 0x18, 0xA7, 0x7C, 0x06, 0xDB, 0x05, 0x1D, 0xB9, 0x55};
    bytes b = plain;
    payload::scrambler("Setup.INI", false).scramble(b.data(), b.size());
    EXPECT_EQ(b, stored);
    payload::scrambler("Setup.INI", false).descramble(b.data(), b.size());
    EXPECT_EQ(b, plain);
}

TEST(Scrambling, BlockModeRestartsTheKeyEveryKibibyte)
{
    // A 7-character name: 1024 is not a multiple of 7, so a key that did not
    // restart at 1024 and 2048 would give other bytes.
    const bytes plain = ov::test::random_bytes(2500, 1);
    const std::string name = "abc.bin";
    bytes stored = plain;
    for (std::size_t at = 0; at < stored.size(); at += 1024) {
        bytes block(stored.begin() + at, stored.begin() + std::min<std::size_t>(at + 1024, stored.size()));
        ov::test::reference_scramble(block, name, false); // one block, key from position 0
        std::copy(block.begin(), block.end(), stored.begin() + at);
    }
    bytes whole = plain;
    ov::test::reference_scramble(whole, name, false);
    ASSERT_NE(stored, whole);

    payload::scrambler block_mode(name, true);
    bytes out = stored;
    block_mode.descramble(out.data(), out.size());
    EXPECT_EQ(out, plain);
    payload::scrambler whole_mode(name, false);
    out = whole;
    whole_mode.descramble(out.data(), out.size());
    EXPECT_EQ(out, plain);

    // Through the extraction: 1024 + 1024 + 452, progress after each block.
    fixture_entry e{name, plain};
    e.mode = scramble::block;
    const bytes file = launcher_with(ov::test::make_payload({e}));
    const auto index = index_of(file);
    ASSERT_EQ(index.entries.size(), 1u);
    ASSERT_EQ(bytes(file.begin() + index.entries[0].data_offset, file.begin() + index.entries[0].data_offset + 2500),
              stored);
    capture c;
    ASSERT_EQ(extract(file, index.entries[0], c), payload::extract_result::ok);
    EXPECT_EQ(c.data, plain);
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
        {0, 2500}, {1024, 2500}, {2048, 2500}, {2500, 2500}};
    EXPECT_EQ(c.progress, expected);
    EXPECT_EQ(c.inflate_starts, 0);
}

TEST(Scrambling, PiecesOfAnySizeGiveTheSameBytes)
{
    const bytes plain = ov::test::random_bytes(5000, 2);
    for (bool block : {false, true}) {
        bytes expected = plain;
        ov::test::reference_scramble(expected, "Setup.INI", block);
        payload::scrambler s("Setup.INI", block);
        bytes out = plain;
        std::size_t at = 0;
        for (std::size_t piece : {1u, 1023u, 7u, 2000u, 1969u}) {
            s.scramble(out.data() + at, piece);
            at += piece;
        }
        ASSERT_EQ(at, out.size());
        EXPECT_EQ(out, expected) << "block mode " << block;
        payload::scrambler back("Setup.INI", block);
        back.descramble(out.data(), 3000);
        back.descramble(out.data() + 3000, 2000);
        EXPECT_EQ(out, plain);
    }
}

// ---------------------------------------------------------------- extraction

TEST(Extraction, EntryKinds)
{
    const bytes text = ov::test::text_bytes(100000, 3);
    const bytes random = ov::test::random_bytes(70001, 4);
    struct {
        const char* what;
        fixture_entry entry;
    } cases[] = {
        {"stored", {"plain.bin", random}},
        {"stored, whole scrambling", {"whole.bin", random, false, scramble::whole}},
        {"compressed", {"text.txt", text, true}},
        {"compressed, whole scrambling", {"Setup.INI", text, true, scramble::whole}},
        {"compressed, block scrambling", {"product.msi", random, true, scramble::block}},
        {"zero size", {"empty.txt", {}}},
        {"compressed empty file", {"empty.z", {}, true}},
    };
    for (const auto& c : cases) {
        const bytes file = launcher_with(ov::test::make_payload({c.entry}));
        const auto index = index_of(file);
        ASSERT_EQ(index.entries.size(), 1u) << c.what;
        capture out;
        EXPECT_EQ(extract(file, index.entries[0], out), payload::extract_result::ok) << c.what;
        EXPECT_EQ(out.data, c.entry.data) << c.what;
        EXPECT_EQ(out.inflate_starts, c.entry.compress ? 1 : 0) << c.what;
        ASSERT_FALSE(out.progress.empty());
        EXPECT_EQ(out.progress.front().first, 0u) << c.what;
        EXPECT_EQ(out.progress.back().first, out.progress.back().second) << c.what;
    }
}

TEST(Extraction, ZeroSizeEntryReportsOnlyTheStart)
{
    const bytes file = launcher_with(ov::test::make_payload({{"empty", {}}, {"next", {1, 2}}}));
    const auto index = index_of(file);
    capture out;
    EXPECT_EQ(extract(file, index.entries[0], out), payload::extract_result::ok);
    EXPECT_TRUE(out.data.empty());
    EXPECT_EQ(out.progress, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 0}}));
}

TEST(Extraction, Failures)
{
    const bytes plain = ov::test::random_bytes(3000, 5);
    const bytes z = ov::test::zlib_compress(ov::test::text_bytes(50000, 6));
    auto cut = [](bytes b, std::size_t by) {
        b.resize(b.size() - by);
        return b;
    };
    fixture_entry truncated_zlib{"t.z", {}, false};
    truncated_zlib.data = bytes(z.begin(), z.begin() + z.size() / 2);
    fixture_entry garbage{"g.z", ov::test::random_bytes(5000, 7), false};
    // Pretend both are compressed: their stored bytes are the raw vectors.
    struct {
        const char* what;
        bytes file;
        payload::extract_result expected;
    } cases[] = {
        {"stored data cut short", cut(launcher_with(ov::test::make_payload({{"a.bin", plain}})), 1),
         payload::extract_result::truncated},
        {"compressed data cut short", cut(launcher_with(ov::test::make_payload({{"a.z", plain, true}})), 10),
         payload::extract_result::truncated},
        {"truncated zlib stream",
         [&] {
             bytes p = ov::test::make_payload({truncated_zlib});
             p[46 + 280] = 1;
             return launcher_with(p);
         }(),
         payload::extract_result::data_error},
        {"not a zlib stream",
         [&] {
             bytes p = ov::test::make_payload({garbage});
             p[46 + 280] = 1;
             return launcher_with(p);
         }(),
         payload::extract_result::data_error},
        {"scrambled stream read as unscrambled",
         [&] {
             fixture_entry e{"s.z", plain, true, scramble::whole};
             bytes p = ov::test::make_payload({e});
             p[46 + 260] = 0;
             return launcher_with(p);
         }(),
         payload::extract_result::data_error},
    };
    for (const auto& c : cases) {
        auto index = index_of(c.file);
        ASSERT_EQ(index.entries.size(), 1u) << c.what;
        capture out;
        EXPECT_EQ(extract(c.file, index.entries[0], out), c.expected) << c.what;
    }
}

TEST(Extraction, TrailingBytesAfterTheZlibStreamAreIgnored)
{
    const bytes text = ov::test::text_bytes(40000, 8);
    bytes stored = ov::test::zlib_compress(text);
    stored.resize(stored.size() + 3000, 0xEE);
    bytes p = ov::test::make_payload({{"padded", stored}});
    p[46 + 280] = 1;
    const bytes file = launcher_with(p);
    capture out;
    EXPECT_EQ(extract(file, index_of(file).entries[0], out), payload::extract_result::ok);
    EXPECT_EQ(out.data, text);
}

TEST(Extraction, ObserverStopsItAndSinkFailuresEndIt)
{
    const bytes file = launcher_with(ov::test::make_payload(
        {{"a.bin", ov::test::random_bytes(5000, 9)}, {"b.z", ov::test::text_bytes(90000, 10), true}}));
    const auto index = index_of(file);
    for (const auto& e : index.entries) {
        for (int stop : {0, 1, 2}) {
            capture out;
            out.stop_at_call = stop;
            EXPECT_EQ(extract(file, e, out), payload::extract_result::cancelled) << e.record.name << " stop " << stop;
            EXPECT_EQ(out.progress.size(), static_cast<std::size_t>(stop + 1));
        }
        capture failing;
        failing.fail_writes = true;
        EXPECT_EQ(extract(file, e, failing), payload::extract_result::write_error) << e.record.name;
    }
}

TEST(Inflater, WritesWholeBlocksAndAShorterLastOne)
{
    const bytes text = ov::test::text_bytes(3 * 16384 + 100, 11);
    const bytes z = ov::test::zlib_compress(text);
    struct blocks final : payload::byte_sink {
        std::vector<std::size_t> sizes;
        bytes data;
        bool write(const std::uint8_t* p, std::size_t n) noexcept override
        {
            sizes.push_back(n);
            data.insert(data.end(), p, p + n);
            return true;
        }
    } out;
    payload::inflater inflate;
    ASSERT_TRUE(inflate.init());
    // Fed one byte at a time: the state machine must cope with any split.
    for (std::size_t i = 0; i + 1 < z.size(); ++i)
        ASSERT_EQ(inflate.feed(&z[i], 1, out), payload::inflate_state::need_input);
    ASSERT_EQ(inflate.feed(&z.back(), 1, out), payload::inflate_state::finished);
    EXPECT_EQ(out.data, text);
    EXPECT_EQ(out.sizes, (std::vector<std::size_t>{16384, 16384, 16384, 100}));

    payload::inflater damaged;
    ASSERT_TRUE(damaged.init());
    bytes bad = z;
    bad[bad.size() - 1] ^= 0xFF; // the Adler-32 checksum
    EXPECT_EQ(damaged.feed(bad.data(), bad.size(), out), payload::inflate_state::failed);
    EXPECT_EQ(damaged.error(), payload::inflate_data_error);
}

} // namespace
