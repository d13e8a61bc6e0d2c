// STREAM on real files under Wine: launchers with payloads written from the
// documented layout (and one built by the authoring tool's code), extraction
// of every entry kind, progress and cancel, the mended failure cases (short
// data, unsafe names, nothing left behind) and inflate_file.
#include "stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "payload_fixture.h"
#include "payloadwriter.h"
#include "test_pe.h"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;
using ov::test::fixture_entry;
using ov::test::scramble;

class recorder final : public IStreamProgress {
public:
    std::vector<std::pair<unsigned long long, unsigned long long>> progress;
    std::vector<std::pair<int, std::wstring>> status;
    int stop_at = -1;
    bool throw_instead = false;

    bool OnProgress(unsigned long long done, unsigned long long total) override
    {
        progress.emplace_back(done, total);
        if (static_cast<int>(progress.size()) - 1 == stop_at) {
            if (throw_instead)
                throw std::runtime_error("dialog gone");
            return true;
        }
        return false;
    }
    void OnStatus(int kind, std::wstring_view name) override { status.emplace_back(kind, std::wstring(name)); }
};

std::wstring wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

void write_file(const fs::path& path, const bytes& data)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

bytes read_file(const fs::path& path)
{
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

class Stream : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH + 1] = {};
        ASSERT_GT(::GetTempPathW(MAX_PATH + 1, temp), 0u);
        static int counter = 0;
        dir_ = fs::path(temp) /
               (L"ovstream-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter));
        fs::create_directories(dir_);
        out_ = dir_ / L"out";
        fs::create_directories(out_);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // A launcher: the test PE, optionally a certificate table, then the payload.
    fs::path launcher(const std::vector<fixture_entry>& entries, std::uint32_t certificate = 0,
                      const wchar_t* name = L"setup.exe")
    {
        bytes file = ov::test::make_pe();
        if (certificate)
            ov::test::append_certificate(file, certificate);
        const bytes p = ov::test::make_payload(entries);
        file.insert(file.end(), p.begin(), p.end());
        const fs::path path = dir_ / name;
        write_file(path, file);
        return path;
    }
    std::vector<std::wstring> leftovers() const
    {
        std::vector<std::wstring> names;
        for (const auto& e : fs::directory_iterator(out_))
            names.push_back(e.path().filename().wstring());
        return names;
    }

    fs::path dir_;
    fs::path out_;
};

TEST_F(Stream, OpensListsAndFindsEntries)
{
    const fs::path file = launcher({{"Setup.INI", bytes(10, 1)}, {"product.msi", bytes(20, 2)}});
    STREAM stream(file.wstring());
    ASSERT_TRUE(stream.IsOpen());
    EXPECT_EQ(stream.PayloadStart(), 0x600u);
    EXPECT_TRUE(stream.HasEntry(L"setup.ini"));
    EXPECT_TRUE(stream.HasEntry(L"PRODUCT.MSI"));
    EXPECT_FALSE(stream.HasEntry(L"setup.in"));
    EXPECT_EQ(stream.GetTotalSize(), 30u);
    const auto second = stream.FindEntry(L"Product.msi");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->data_offset, 0x600u + 46 + 312 + 10 + 312);
    EXPECT_EQ(second->record.size, 20u);
    EXPECT_FALSE(stream.FindEntry(L"missing"));
    EXPECT_EQ(stream.EntryNames(), (std::vector<std::wstring>{L"Setup.INI", L"product.msi"}));
}

TEST_F(Stream, ExtractsEveryEntryKindByteExact)
{
    const std::vector<fixture_entry> entries = {
        {"stored.bin", ov::test::random_bytes(70000, 1)},
        {"whole.bin", ov::test::random_bytes(3000, 2), false, scramble::whole},
        {"block.bin", ov::test::random_bytes(2500, 3), false, scramble::block},
        {"text.txt", ov::test::text_bytes(200000, 4), true},
        {"Setup.INI", ov::test::text_bytes(5000, 5), true, scramble::whole},
        {"product.msi", ov::test::random_bytes(100000, 6), true, scramble::block},
        {"empty.txt", {}},
    };
    STREAM stream(launcher(entries).wstring());
    for (const auto& e : entries) {
        const fs::path target = out_ / wide(e.name);
        ASSERT_TRUE(stream.ExtractEntry(wide(e.name), target.wstring(), nullptr))
            << e.name << " " << stream.LastError();
        EXPECT_EQ(read_file(target), e.data) << e.name;
    }
}

TEST_F(Stream, ReportsProgressPerBlockAndDecompression)
{
    STREAM stream(launcher({{"block.bin", ov::test::random_bytes(2500, 7), false, scramble::block},
                            {"data.z", ov::test::text_bytes(30000, 8), true}})
                      .wstring());
    recorder plain;
    ASSERT_TRUE(stream.ExtractEntry(L"block.bin", (out_ / L"block.bin").wstring(), &plain));
    EXPECT_EQ(plain.progress, (std::vector<std::pair<unsigned long long, unsigned long long>>{
                                  {0, 2500}, {1024, 2500}, {2048, 2500}, {2500, 2500}}));
    EXPECT_TRUE(plain.status.empty());

    recorder compressed;
    ASSERT_TRUE(stream.ExtractEntry(L"DATA.Z", (out_ / L"data.z").wstring(), &compressed));
    ASSERT_EQ(compressed.status.size(), 1u);
    EXPECT_EQ(compressed.status[0], (std::pair<int, std::wstring>{1, L"data.z"}));
    const auto size = stream.FindEntry(L"data.z")->record.size;
    ASSERT_GE(compressed.progress.size(), 2u);
    EXPECT_EQ(compressed.progress.front(), (std::pair<unsigned long long, unsigned long long>{0, size}));
    EXPECT_EQ(compressed.progress.back(), (std::pair<unsigned long long, unsigned long long>{size, size}));
}

TEST_F(Stream, CancelOrAFailingHandlerLeavesNoFile)
{
    STREAM stream(launcher({{"big.bin", ov::test::random_bytes(10000, 9)},
                            {"big.z", ov::test::text_bytes(300000, 10), true, scramble::block}})
                      .wstring());
    for (const wchar_t* name : {L"big.bin", L"big.z"}) {
        for (bool throwing : {false, true}) {
            const fs::path target = out_ / name;
            write_file(target, {'o', 'l', 'd'});
            recorder cancel;
            cancel.stop_at = 2;
            cancel.throw_instead = throwing;
            EXPECT_FALSE(stream.ExtractEntry(name, target.wstring(), &cancel));
            EXPECT_EQ(stream.LastError(), static_cast<DWORD>(ERROR_CANCELLED));
            EXPECT_EQ(cancel.progress.size(), 3u);
            EXPECT_FALSE(fs::exists(target)) << "no partial or stale file after a cancel";
        }
    }
}

TEST_F(Stream, DataCutShortFailsAndLeavesNoFile)
{
    const fs::path file =
        launcher({{"first.bin", ov::test::random_bytes(4000, 11)}, {"cut.bin", ov::test::random_bytes(5000, 12)}});
    fs::resize_file(file, fs::file_size(file) - 1); // one byte short of the recorded size
    STREAM stream(file.wstring());
    ASSERT_TRUE(stream.HasEntry(L"cut.bin"));
    EXPECT_TRUE(stream.ExtractEntry(L"first.bin", (out_ / L"first.bin").wstring(), nullptr));
    EXPECT_FALSE(stream.ExtractEntry(L"cut.bin", (out_ / L"cut.bin").wstring(), nullptr));
    EXPECT_EQ(stream.LastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(leftovers(), std::vector<std::wstring>{L"first.bin"});
}

TEST_F(Stream, TruncatedZlibStreamFails)
{
    const bytes z = ov::test::zlib_compress(ov::test::text_bytes(60000, 13));
    fixture_entry broken{"broken.z", bytes(z.begin(), z.begin() + z.size() / 2)};
    bytes file = ov::test::make_pe();
    bytes p = ov::test::make_payload({broken});
    p[46 + 280] = 1; // recorded as compressed: a zlib stream that stops half-way
    file.insert(file.end(), p.begin(), p.end());
    write_file(dir_ / L"setup.exe", file);
    STREAM stream((dir_ / L"setup.exe").wstring());
    EXPECT_FALSE(stream.ExtractEntry(L"broken.z", (out_ / L"broken.z").wstring(), nullptr));
    EXPECT_EQ(stream.LastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_TRUE(leftovers().empty());

    write_file(dir_ / L"half.z", broken.data);
    EXPECT_EQ(ov::inflate_file((dir_ / L"half.z").c_str(), (out_ / L"half").c_str(), nullptr), -3);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Stream, InflateFileReportsOutputBlocks)
{
    const bytes text = ov::test::text_bytes(3 * 16384 + 100, 14);
    bytes z = ov::test::zlib_compress(text);
    write_file(dir_ / L"data.z", z);
    recorder blocks;
    ASSERT_EQ(ov::inflate_file((dir_ / L"data.z").c_str(), (out_ / L"data").c_str(), &blocks), 0);
    EXPECT_EQ(read_file(out_ / L"data"), text);
    const unsigned long long total = z.size() / 16384;
    EXPECT_EQ(blocks.progress, (std::vector<std::pair<unsigned long long, unsigned long long>>{
                                   {0, total}, {1, total}, {2, total}, {3, total}}));

    z[z.size() / 2] ^= 0x55;
    write_file(dir_ / L"bad.z", z);
    EXPECT_EQ(ov::inflate_file((dir_ / L"bad.z").c_str(), (out_ / L"bad").c_str(), nullptr), -3);
    EXPECT_FALSE(fs::exists(out_ / L"bad"));
    EXPECT_EQ(ov::inflate_file((dir_ / L"none.z").c_str(), (out_ / L"none").c_str(), nullptr),
              static_cast<std::int32_t>(ERROR_FILE_NOT_FOUND));
}

struct walk {
    fs::path folder;
    std::vector<std::wstring> asked;
};

void into_folder(std::wstring_view name, void* context, std::wstring& destination)
{
    auto* w = static_cast<walk*>(context);
    w->asked.emplace_back(name);
    destination = (w->folder / std::wstring(name)).wstring();
}

TEST_F(Stream, ExtractAllWalksInFileOrderAndStopsAtAFailure)
{
    const bytes z = ov::test::zlib_compress(ov::test::text_bytes(20000, 15));
    fixture_entry broken{"b.z", bytes(z.begin(), z.end() - 8)};
    const std::vector<fixture_entry> entries = {{"a.txt", {1, 2, 3}}, {"b.z", broken.data}, {"c.txt", {4, 5}}};
    bytes file = ov::test::make_pe();
    bytes p = ov::test::make_payload(entries);
    const std::size_t b_record = 46 + 312 + 3;
    p[b_record + 280] = 1;
    file.insert(file.end(), p.begin(), p.end());
    write_file(dir_ / L"setup.exe", file);

    STREAM stream((dir_ / L"setup.exe").wstring());
    walk w{out_, {}};
    EXPECT_TRUE(stream.ExtractAll(into_folder, &w, nullptr)) << "a failed entry ends the walk, not the call";
    EXPECT_EQ(w.asked, (std::vector<std::wstring>{L"a.txt", L"b.z"}));
    EXPECT_EQ(leftovers(), std::vector<std::wstring>{L"a.txt"});

    STREAM good(launcher({{"x.txt", {1}}, {"y.txt", {2}}, {"z.txt", {3}}}, 0, L"good.exe").wstring());
    walk all{out_, {}};
    EXPECT_TRUE(good.ExtractAll(into_folder, &all, nullptr));
    EXPECT_EQ(all.asked, (std::vector<std::wstring>{L"x.txt", L"y.txt", L"z.txt"}));
    EXPECT_EQ(read_file(out_ / L"z.txt"), bytes{3});
}

TEST_F(Stream, UnsafeEntryNamesAreNeverWritten)
{
    const char* unsafe[] = {"..\\evil.txt", "../evil.txt", "sub\\evil.txt", "C:evil.txt", "evil.txt:ads",
                            "..",           "CON",         "nul.txt",       "LPT1",       "a..b"};
    for (const char* name : unsafe) {
        fs::remove_all(out_);
        fs::create_directories(out_ / L"inner");
        STREAM stream(launcher({{"fine.txt", {1}}, {name, {2}}}).wstring());
        ASSERT_TRUE(stream.HasEntry(wide(name))) << name;
        walk w{out_ / L"inner", {}};
        EXPECT_FALSE(stream.ExtractAll(into_folder, &w, nullptr)) << name;
        EXPECT_EQ(stream.LastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << name;
        EXPECT_TRUE(w.asked.empty()) << name << ": nothing of such a payload is extracted";
        // A destination built from the name is refused too.
        EXPECT_FALSE(stream.ExtractEntry(wide(name), (out_ / L"inner" / wide(name)).wstring(), nullptr)) << name;
        EXPECT_EQ(stream.LastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << name;
        EXPECT_EQ(leftovers(), std::vector<std::wstring>{L"inner"}) << name;
        EXPECT_TRUE(fs::is_empty(out_ / L"inner")) << name;
    }
    EXPECT_FALSE(fs::exists(dir_ / L"evil.txt"));
}

TEST_F(Stream, SignedLauncherPayloadFollowsTheCertificate)
{
    const fs::path file = launcher({{"setup.ini", {7, 7, 7}}}, 0x520);
    STREAM stream(file.wstring());
    EXPECT_EQ(stream.PayloadStart(), 0x600u + 0x520u);
    ASSERT_TRUE(stream.ExtractEntry(L"SETUP.INI", (out_ / L"setup.ini").wstring(), nullptr));
    EXPECT_EQ(read_file(out_ / L"setup.ini"), (bytes{7, 7, 7}));

    DWORD error = 0;
    EXPECT_EQ(ov::find_image_end(file.c_str(), false, &error), 0x600u);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(ov::find_image_end(file.c_str(), true, &error), 0x600u + 0x520u);
}

TEST_F(Stream, FilesWithoutPayloadAndMissingFiles)
{
    write_file(dir_ / L"bare.exe", ov::test::make_pe());
    STREAM bare((dir_ / L"bare.exe").wstring());
    EXPECT_TRUE(bare.IsOpen());
    EXPECT_FALSE(bare.HasEntry(L"setup.ini"));
    EXPECT_EQ(bare.GetTotalSize(), 0u);
    walk w{out_, {}};
    EXPECT_FALSE(bare.ExtractAll(into_folder, &w, nullptr));
    EXPECT_FALSE(bare.ExtractEntry(L"setup.ini", (out_ / L"setup.ini").wstring(), nullptr));
    EXPECT_EQ(bare.LastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    STREAM missing((dir_ / L"missing.exe").wstring());
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(missing.LastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(missing.ExtractAll(into_folder, &w, nullptr));
    EXPECT_TRUE(w.asked.empty());

    write_file(dir_ / L"text.exe", {'n', 'o', 't', ' ', 'a', ' ', 'P', 'E'});
    DWORD error = 0;
    EXPECT_EQ(ov::find_image_end((dir_ / L"text.exe").c_str(), false, &error), 0u);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(ov::find_image_end((dir_ / L"missing.exe").c_str(), true, &error), 0u);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Stream, DestinationThatCannotBeCreatedRecordsTheError)
{
    STREAM stream(launcher({{"a.txt", {1}}}).wstring());
    EXPECT_FALSE(stream.ExtractEntry(L"a.txt", (dir_ / L"no-such-folder" / L"a.txt").wstring(), nullptr));
    EXPECT_EQ(stream.LastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Stream, ReadersShareTheLauncherFile)
{
    const fs::path file = launcher({{"a.txt", {1, 2}}});
    // The launcher's own process holds its file open; readers open it again.
    HANDLE held = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    STREAM first(file.wstring());
    STREAM second(file.wstring());
    EXPECT_TRUE(first.ExtractEntry(L"a.txt", (out_ / L"1.txt").wstring(), nullptr));
    EXPECT_TRUE(second.ExtractEntry(L"a.txt", (out_ / L"2.txt").wstring(), nullptr));
    ::CloseHandle(held);
    EXPECT_EQ(read_file(out_ / L"2.txt"), (bytes{1, 2}));
}

TEST_F(Stream, ReadsWhatTheAuthoringToolBuilds)
{
    const fs::path pe = dir_ / L"bare.exe";
    write_file(pe, ov::test::make_pe());
    const bytes msi = ov::test::random_bytes(150000, 16);
    const bytes ini = ov::test::text_bytes(4000, 17);
    write_file(dir_ / L"product.msi", msi);
    write_file(dir_ / L"setup.ini", ini);
    write_file(dir_ / L"built.exe", {'o', 'l', 'd'});

    ov::pack::build_options options;
    options.launcher = pe;
    options.output = dir_ / L"built.exe";
    options.entries = {{"Setup.INI", dir_ / L"setup.ini", true, ov::pack::scramble_mode::whole},
                       {"product.msi", dir_ / L"product.msi", true, ov::pack::scramble_mode::block}};
    const auto built = ov::pack::build_launcher(options);
    ASSERT_TRUE(built.ok) << built.error;

    STREAM stream((dir_ / L"built.exe").wstring());
    ASSERT_TRUE(stream.ExtractEntry(L"setup.ini", (out_ / L"setup.ini").wstring(), nullptr));
    ASSERT_TRUE(stream.ExtractEntry(L"PRODUCT.MSI", (out_ / L"product.msi").wstring(), nullptr));
    EXPECT_EQ(read_file(out_ / L"setup.ini"), ini);
    EXPECT_EQ(read_file(out_ / L"product.msi"), msi);
}

} // namespace
