// ovpack end to end on Linux: build -> list -> extract round trips, every
// kind of bad input, a launcher signed with osslsigncode, and the guarantee
// that no half-written output is ever left behind.
#include "ovpack.h"
#include "packio.h"
#include "payloadformat.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "payload_fixture.h"
#include "test_pe.h"

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

struct outcome {
    int code;
    std::string out;
    std::string err;
};

outcome ovpack(std::vector<std::string> args)
{
    std::ostringstream out, err;
    const int code = ov::pack::run_ovpack(args, out, err);
    return {code, out.str(), err.str()};
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

class Ovpack : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device seed;
        dir_ = fs::temp_directory_path() / ("ovpack-test-" + std::to_string(seed()));
        fs::create_directories(dir_);
        launcher_ = dir_ / "setup.exe";
        write_file(launcher_, ov::test::make_pe());
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path add_input(const std::string& name, const bytes& data)
    {
        const fs::path p = dir_ / "in" / name;
        fs::create_directories(p.parent_path());
        write_file(p, data);
        return p;
    }
    // Files in a folder other than the ones a test made on purpose: leftovers.
    std::vector<std::string> files_in(const fs::path& folder) const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(folder))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string s(const fs::path& p) const { return p.string(); }

    fs::path dir_;
    fs::path launcher_;
};

TEST_F(Ovpack, BuildListExtractRoundTripIsByteExact)
{
    struct input {
        std::string name;
        bytes data;
        std::vector<std::string> options; // entry options placed before the file
    };
    const std::vector<input> inputs = {
        {"setup.ini", ov::test::text_bytes(3000, 1), {}},
        {"empty.txt", {}, {}},
        {"one.bin", ov::test::random_bytes(1, 2), {"--scramble", "whole"}},
        {"kib.bin", ov::test::random_bytes(1024, 3), {"--scramble", "block"}},
        {"odd.bin", ov::test::random_bytes(2500, 4), {"--scramble=block"}},
        {"product.msi", ov::test::random_bytes(300001, 5), {"--compress", "--scramble", "block"}},
        {"text.txt", ov::test::text_bytes(200000, 6), {"--compress", "--scramble", "whole"}},
        {"zempty.txt", {}, {"--compress", "--scramble", "none"}},
        {"chunky.bin", ov::test::random_bytes(65536 * 2 + 17, 7), {"--store", "--scramble", "whole"}},
    };
    std::vector<std::string> args = {"build", "--launcher", s(launcher_), "--out", s(dir_ / "out.exe")};
    for (const auto& in : inputs) {
        args.insert(args.end(), in.options.begin(), in.options.end());
        args.push_back(s(add_input(in.name, in.data)));
    }
    const auto built = ovpack(args);
    ASSERT_EQ(built.code, 0) << built.err;

    // The launcher's bytes come first, unchanged.
    const bytes out = read_file(dir_ / "out.exe");
    const bytes pe = read_file(launcher_);
    ASSERT_GT(out.size(), pe.size());
    EXPECT_TRUE(std::equal(pe.begin(), pe.end(), out.begin()));

    const auto listed = ovpack({"list", s(dir_ / "out.exe")});
    ASSERT_EQ(listed.code, 0) << listed.err;
    EXPECT_NE(listed.out.find("payload at offset 1536: 9 entries"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("setup.ini    0x00   3000        no          none"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("odd.bin      0x06   2500        no          block"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("one.bin      0x02   1           no          whole"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("yes         block"), std::string::npos) << listed.out;

    const auto extracted = ovpack({"extract", s(dir_ / "out.exe"), "--out", s(dir_ / "x")});
    ASSERT_EQ(extracted.code, 0) << extracted.err;
    for (const auto& in : inputs)
        EXPECT_EQ(read_file(dir_ / "x" / in.name), in.data) << in.name;
    EXPECT_EQ(files_in(dir_ / "x").size(), inputs.size()) << "no temporary files left";

    // Selected names, without regard to case.
    const auto some = ovpack({"extract", s(dir_ / "out.exe"), "--out=" + s(dir_ / "y"), "SETUP.INI", "text.txt"});
    ASSERT_EQ(some.code, 0) << some.err;
    EXPECT_EQ(files_in(dir_ / "y"), (std::vector<std::string>{"setup.ini", "text.txt"}));
}

TEST_F(Ovpack, NamesAndOptionsFromTheCommandLine)
{
    const fs::path a = add_input("a.dat", {1, 2, 3});
    const fs::path b = add_input("b.dat", {4, 5});
    const auto built = ovpack({"build", "--launcher", s(launcher_), "--out", s(dir_ / "o.exe"), "--name", "Setup.INI",
                               s(a), "--entry", "0x0409.ini=" + s(b), "--", s(a)});
    ASSERT_EQ(built.code, 0) << built.err;
    std::string error;
    ov::pack::input_file in;
    ASSERT_TRUE(in.open(dir_ / "o.exe", error));
    const auto index = ov::payload::locate_payload(in);
    ASSERT_EQ(index.entries.size(), 3u);
    EXPECT_EQ(index.entries[0].record.name, "Setup.INI");
    EXPECT_EQ(index.entries[1].record.name, "0x0409.ini");
    EXPECT_EQ(index.entries[2].record.name, "a.dat");
}

TEST_F(Ovpack, BadInputsFailClearlyAndLeaveNoOutput)
{
    const fs::path good = add_input("good.txt", {1, 2, 3});
    const fs::path not_pe = add_input("readme.txt", {'h', 'e', 'l', 'l', 'o'});
    bytes unstripped = ov::test::make_pe();
    unstripped.resize(unstripped.size() + 4096, 0x55); // a symbol table after the sections
    const fs::path symbols = add_input("unstripped.exe", unstripped);
    bytes carrying = ov::test::make_pe();
    const bytes p = ov::test::make_payload({{"x", {1}}});
    carrying.insert(carrying.end(), p.begin(), p.end());
    const fs::path loaded = add_input("loaded.exe", carrying);
    bytes misplaced_cert = ov::test::make_pe();
    ov::test::append_certificate(misplaced_cert, 0x100);
    misplaced_cert.resize(misplaced_cert.size() + 64, 0); // data after the certificate table
    const fs::path cert = add_input("cert.exe", misplaced_cert);
    const fs::path huge = dir_ / "in" / "huge.bin";
    fs::resize_file(add_input("huge.bin", {}), 0x100000000ull); // sparse: 4 GiB

    const std::string out = s(dir_ / "out" / "out.exe");
    fs::create_directories(dir_ / "out");
    const std::vector<std::string> base = {"build", "--launcher", s(launcher_), "--out", out};
    auto with = [&](std::vector<std::string> tail) {
        std::vector<std::string> args = base;
        args.insert(args.end(), tail.begin(), tail.end());
        return args;
    };
    std::vector<std::string> many = base;
    for (int i = 0; i < 65536; ++i) {
        many.push_back("--entry");
        many.push_back("f" + std::to_string(i) + "=" + s(good));
    }
    struct {
        const char* what;
        std::vector<std::string> args;
        int code;
        const char* message;
    } cases[] = {
        {"missing input file", with({s(dir_ / "in" / "nope.txt")}), 1, "does not exist"},
        {"input is a folder", with({s(dir_ / "in")}), 1, "is not a regular file"},
        {"name of 260 bytes", with({"--name", std::string(260, 'n'), s(good)}), 1, "names hold at most 259 bytes"},
        {"65536 entries", many, 1, "too many entries: 65536"},
        {"entry of 4 GiB", with({s(huge)}), 1, "an entry holds at most 4294967295 bytes"},
        {"parent folder in the name", with({"--entry", "..\\evil.exe=" + s(good)}), 1, "is not a safe file name"},
        {"slash in the name", with({"--entry", "a/b=" + s(good)}), 1, "is not a safe file name"},
        {"drive in the name", with({"--entry", "C:x=" + s(good)}), 1, "is not a safe file name"},
        {"device name", with({"--entry", "CON=" + s(good)}), 1, "is not a safe file name"},
        {"device name with extension", with({"--entry", "lpt1.txt=" + s(good)}), 1, "is not a safe file name"},
        {"dot dot", with({"--entry", "..=" + s(good)}), 1, "is not a safe file name"},
        {"non-ASCII name", with({"--entry", "\xC3\xA9t\xC3\xA9.ini=" + s(good)}), 1, "is not plain ASCII"},
        {"duplicate name", with({s(good), "--entry", "GOOD.TXT=" + s(good)}), 1, "duplicate entry name"},
        {"launcher is not a PE file",
         {"build", "--launcher", s(not_pe), "--out", out, s(good)},
         1,
         "not a Windows executable"},
        {"missing launcher",
         {"build", "--launcher", s(dir_ / "none.exe"), "--out", out, s(good)},
         1,
         "cannot open launcher"},
        {"launcher with a symbol table",
         {"build", "--launcher", s(symbols), "--out", out, s(good)},
         1,
         "bytes after its executable image"},
        {"launcher with a payload",
         {"build", "--launcher", s(loaded), "--out", out, s(good)},
         1,
         "already carries a payload"},
        {"certificate table not at the end",
         {"build", "--launcher", s(cert), "--out", out, s(good)},
         1,
         "certificate table"},
        {"output folder missing",
         {"build", "--launcher", s(launcher_), "--out", s(dir_ / "no" / "o.exe"), s(good)},
         1,
         "cannot create a file"},
        {"no launcher option", {"build", "--out", out, s(good)}, 2, "needs --launcher"},
        {"no output option", {"build", "--launcher", s(launcher_), s(good)}, 2, "needs --out"},
        {"no files", with({}), 2, "at least one FILE"},
        {"unknown option", with({"--fast", s(good)}), 2, "unknown option '--fast'"},
        {"bad scrambling mode", with({"--scramble", "all", s(good)}), 2, "none, whole or block"},
        {"bad level", with({"--level", "10", s(good)}), 2, "--level"},
        {"dangling --name", with({s(good), "--name", "x"}), 2, "not followed by a FILE"},
        {"value missing", with({s(good), "--scramble"}), 2, "needs a value"},
        {"unknown command", {"pack", "x"}, 2, "unknown command"},
    };
    for (const auto& c : cases) {
        write_file(out, {'o', 'l', 'd'});
        const auto r = ovpack(c.args);
        EXPECT_EQ(r.code, c.code) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
        EXPECT_EQ(r.err.rfind("ovpack: ", 0), 0u) << c.what;
        EXPECT_EQ(read_file(out), (bytes{'o', 'l', 'd'})) << c.what << ": an older output stays untouched";
        EXPECT_EQ(files_in(dir_ / "out"), std::vector<std::string>{"out.exe"}) << c.what << ": no leftovers";
    }
}

TEST_F(Ovpack, ListAndExtractRefuseWhatTheyCannotUse)
{
    // A payload written by another tool with a name that escapes the folder.
    bytes evil = ov::test::make_pe();
    const bytes p = ov::test::make_payload({{"fine.txt", {1}}, {"..\\..\\evil.dll", {2}}});
    evil.insert(evil.end(), p.begin(), p.end());
    write_file(dir_ / "evil.exe", evil);
    auto r = ovpack({"extract", s(dir_ / "evil.exe"), "--out", s(dir_ / "x")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("refusing to extract entry '..\\..\\evil.dll'"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "x" / "fine.txt")) << "nothing is extracted from such a payload";

    r = ovpack({"extract", s(dir_ / "evil.exe"), "--out", s(dir_ / "x"), "missing.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("has no entry 'missing.txt'"), std::string::npos) << r.err;

    r = ovpack({"list", s(launcher_)});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("carries no payload"), std::string::npos) << r.err;
    r = ovpack({"list", s(dir_ / "nothing.exe")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
    EXPECT_EQ(ovpack({"list"}).code, 2);
    EXPECT_EQ(ovpack({"extract"}).code, 2);
}

TEST_F(Ovpack, TruncatedLauncherFailsExtractionWithoutPartialFile)
{
    const fs::path a = add_input("a.bin", ov::test::random_bytes(100000, 8));
    const fs::path b = add_input("b.txt", ov::test::text_bytes(100000, 9));
    for (const char* mode : {"--store", "--compress"}) {
        const fs::path out = dir_ / "cut.exe";
        ASSERT_EQ(ovpack({"build", "--launcher", s(launcher_), "--out", s(out), mode, s(a), s(b)}).code, 0);
        fs::resize_file(out, fs::file_size(out) - 1000); // cut into b's data
        fs::remove_all(dir_ / "x");
        const auto r = ovpack({"extract", s(out), "--out", s(dir_ / "x")});
        EXPECT_EQ(r.code, 1) << mode;
        EXPECT_NE(r.err.find("cannot extract 'b.txt'"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("truncated"), std::string::npos) << r.err;
        EXPECT_EQ(files_in(dir_ / "x"), std::vector<std::string>{"a.bin"}) << mode << ": no partial b.txt";
    }
}

TEST_F(Ovpack, HelpDescribesEveryCommand)
{
    const auto r = ovpack({"--help"});
    EXPECT_EQ(r.code, 0);
    for (const char* word : {"build", "list", "extract", "--compress", "--scramble", "--entry", "65535", "259"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    EXPECT_EQ(ovpack({}).code, 2);
}

TEST(PackOutputFile, TemporaryFileIsRemovedUnlessCommitted)
{
    const fs::path dir = fs::temp_directory_path() / ("ovpack-out-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir);
    const fs::path target = dir / "t.exe";
    std::string error;
    {
        ov::pack::output_file out(target);
        ASSERT_TRUE(out.create(error)) << error;
        const std::uint8_t data[] = {1, 2, 3, 4};
        ASSERT_TRUE(out.write(data, 4));
        ASSERT_TRUE(fs::exists(out.temporary()));
        EXPECT_EQ(out.temporary().parent_path(), dir);
    } // abandoned, as after a failure
    EXPECT_TRUE(fs::is_empty(dir));
    {
        ov::pack::output_file out(target);
        ASSERT_TRUE(out.create(error)) << error;
        const std::uint8_t data[] = {1, 2, 3, 4};
        ASSERT_TRUE(out.write(data, 4));
        const std::uint8_t patch[] = {9};
        ASSERT_TRUE(out.write_at(1, patch, 1));
        EXPECT_FALSE(out.write_at(4, patch, 1)) << "only bytes already written can be patched";
        ASSERT_TRUE(out.commit(error)) << error;
    }
    EXPECT_EQ(read_file(target), (bytes{1, 9, 3, 4}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    fs::remove_all(dir);
}

// Authenticode-signs the test launcher with a throwaway certificate; the
// payload then follows the certificate table and the reader finds it on its
// second reading.
TEST_F(Ovpack, SignedLauncherCarriesThePayloadAfterItsCertificate)
{
    if (std::system("command -v osslsigncode >/dev/null 2>&1 && command -v openssl >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "osslsigncode or openssl missing";
    const std::string key = s(dir_ / "key.pem"), crt = s(dir_ / "cert.pem"), signed_exe = s(dir_ / "signed.exe");
    const std::string make_cert = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=ovpack-test -keyout '" +
                                  key + "' -out '" + crt + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(make_cert.c_str()), 0);
    const std::string sign = "osslsigncode sign -certs '" + crt + "' -key '" + key + "' -in '" + s(launcher_) +
                             "' -out '" + signed_exe + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(sign.c_str()), 0);

    std::string error;
    std::uint64_t image_end = 0, signed_size = fs::file_size(signed_exe);
    {
        ov::pack::input_file in;
        ASSERT_TRUE(in.open(signed_exe, error));
        const auto layout = ov::payload::read_pe_layout(in);
        ASSERT_TRUE(layout);
        ASSERT_GT(layout->certificate_size, 0u);
        EXPECT_EQ(layout->certificate_offset, layout->image_end);
        image_end = layout->image_end;
    }

    const bytes data = ov::test::random_bytes(50000, 10);
    const fs::path input = add_input("product.msi", data);
    const auto built = ovpack({"build", "--launcher", signed_exe, "--out", s(dir_ / "out.exe"), "--compress",
                               "--scramble", "block", s(input)});
    ASSERT_EQ(built.code, 0) << built.err;
    EXPECT_NE(built.out.find("at offset " + std::to_string(signed_size)), std::string::npos) << built.out;

    ov::pack::input_file in;
    ASSERT_TRUE(in.open(dir_ / "out.exe", error));
    EXPECT_TRUE(ov::payload::read_entries(in, image_end).empty()) << "the first reading meets the certificate";
    const auto index = ov::payload::locate_payload(in);
    ASSERT_EQ(index.entries.size(), 1u);
    EXPECT_EQ(index.start, signed_size);

    ASSERT_EQ(ovpack({"extract", s(dir_ / "out.exe"), "--out", s(dir_ / "x")}).code, 0);
    EXPECT_EQ(read_file(dir_ / "x" / "product.msi"), data);

    // A launcher signed with data after its image has the certificate table
    // after that data, where the launcher would not look: refused.
    bytes unstripped = ov::test::make_pe();
    unstripped.resize(unstripped.size() + 512, 0x55);
    write_file(dir_ / "unstripped.exe", unstripped);
    const std::string sign_unstripped = "osslsigncode sign -certs '" + crt + "' -key '" + key + "' -in '" +
                                        s(dir_ / "unstripped.exe") + "' -out '" + s(dir_ / "bad.exe") +
                                        "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(sign_unstripped.c_str()), 0);
    const auto refused = ovpack({"build", "--launcher", s(dir_ / "bad.exe"), "--out", s(dir_ / "o2.exe"), s(input)});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("does not directly follow the executable image"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(dir_ / "o2.exe"));
}

} // namespace
