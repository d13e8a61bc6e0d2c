// ov::file, the text reader, whole-file replacement and the INI classes on
// real files under Wine.
#include "inifile.h"
#include "ov_exceptions.h"
#include "ov_file.h"
#include "paths.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace {

bool exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> files_in(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data = {};
    ov::unique_hfind find(::FindFirstFileW(ov::path::join(folder, L"*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..")
                names.push_back(name);
        } while (::FindNextFileW(find.get(), &data));
    }
    return names;
}

void remove_tree(const std::wstring& folder)
{
    for (const auto& name : files_in(folder)) {
        const auto path = ov::path::join(folder, name);
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!::DeleteFileW(path.c_str()))
            remove_tree(path);
    }
    ::RemoveDirectoryW(folder.c_str());
}

// WinInet's ERROR_INTERNET_CANNOT_CONNECT.
constexpr DWORD kCannotConnect = 12029;

// The error and file name of the ov::file_exception that `action` throws.
template <typename F>
std::pair<DWORD, std::wstring> failure_of(F action)
{
    try {
        action();
    } catch (const ov::file_exception& e) {
        return {e.error(), e.file()};
    }
    return {0, L"(nothing thrown)"};
}

class Files : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        wchar_t buffer[MAX_PATH + 1] = {};
        const DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
        folder = ov::path::join(std::wstring(buffer, n), L"ovfiletest-" + std::to_wstring(::GetCurrentProcessId()) +
                                                             L"-" + std::to_wstring(counter++));
        remove_tree(folder);
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    }
    void TearDown() override { remove_tree(folder); }
    std::wstring at(const std::wstring& name) const { return ov::path::join(folder, name); }
    void put(const std::wstring& name, const std::string& bytes) const
    {
        ov::file f;
        f.create(at(name));
        f.write(bytes);
    }
    std::string get(const std::wstring& name) const
    {
        ov::file f;
        f.open_read(at(name));
        return f.read_all(1 << 20);
    }
    std::wstring folder;
};

TEST_F(Files, WriteSeekReadRoundTrip)
{
    ov::file f;
    f.create(at(L"data.bin"));
    EXPECT_TRUE(f.is_open());
    EXPECT_EQ(f.name(), at(L"data.bin"));
    f.write(std::string("0123456789"));
    EXPECT_EQ(f.size(), 10u);
    EXPECT_EQ(f.seek(-4, FILE_END), 6u);
    char buffer[8] = {};
    EXPECT_EQ(f.read(buffer, sizeof buffer), 4u); // short only at the end
    EXPECT_EQ(std::string(buffer, 4), "6789");
    EXPECT_EQ(f.read(buffer, sizeof buffer), 0u);
    f.seek(2);
    EXPECT_EQ(f.position(), 2u);
    EXPECT_EQ(f.read_all(100), "23456789");
    f.flush();
    f.close();
    EXPECT_FALSE(f.is_open());
    EXPECT_EQ(get(L"data.bin"), "0123456789");
}

TEST_F(Files, FailuresCarryCodeAndFileName)
{
    put(L"short.bin", "abc");
    const auto missing = at(L"missing.txt");
    const auto in_missing_folder = at(L"nofolder\\x.txt");
    const auto short_file = at(L"short.bin");
    struct failure_case {
        const char* name;
        std::function<void()> action;
        DWORD error;
        std::wstring file;
    };
    const failure_case cases[] = {
        {"missing file", [&] { ov::file().open_read(missing); }, ERROR_FILE_NOT_FOUND, missing},
        {"missing folder", [&] { ov::file().open_read(in_missing_folder); }, ERROR_PATH_NOT_FOUND, in_missing_folder},
        {"create new over existing", [&] { ov::file().create(short_file, CREATE_NEW); }, ERROR_FILE_EXISTS, short_file},
        {"read past the end",
         [&] {
             ov::file f;
             f.open_read(short_file);
             char buffer[4];
             f.read_exact(buffer, 4);
         },
         ERROR_HANDLE_EOF, short_file},
        {"too large",
         [&] {
             ov::file f;
             f.open_read(short_file);
             (void)f.read_all(2);
         },
         ERROR_FILE_TOO_LARGE, short_file},
        {"write to a reading handle",
         [&] {
             ov::file f;
             f.open_read(short_file);
             f.write(std::string("x"));
         },
         ERROR_ACCESS_DENIED, short_file},
        {"closed file", [&] { (void)ov::file().size(); }, ERROR_INVALID_HANDLE, L""},
        // Web addresses are remote files: nobody listens on port 1 of this machine.
        {"web address", [&] { (void)ov::open_file(L"http://127.0.0.1:1/setup.ini")->read_all(1024); }, kCannotConnect,
         L"http://127.0.0.1:1/setup.ini"},
        {"secure web address", [&] { (void)ov::open_file(L"HTTPS://127.0.0.1:1/a.msi")->size(); }, kCannotConnect,
         L"HTTPS://127.0.0.1:1/a.msi"},
    };
    for (const auto& c : cases) {
        const auto [error, file] = failure_of(c.action);
        EXPECT_EQ(error, c.error) << c.name;
        EXPECT_EQ(file, c.file) << c.name;
    }
}

TEST_F(Files, SharingFollowsTheOpenMode)
{
    put(L"shared.txt", "x");
    ov::file reader;
    reader.open_read(at(L"shared.txt"));
    ov::file second_reader;
    EXPECT_NO_THROW(second_reader.open_read(at(L"shared.txt")));
    // Readers allow reading only: nobody may write meanwhile.
    EXPECT_EQ(failure_of([&] { ov::file().create(at(L"shared.txt")); }).first, ERROR_SHARING_VIOLATION);
    reader.close();
    second_reader.close();

    ov::file exclusive;
    exclusive.create(at(L"shared.txt"), CREATE_ALWAYS, 0);
    EXPECT_EQ(failure_of([&] { ov::file().open_read(at(L"shared.txt")); }).first, ERROR_SHARING_VIOLATION);
}

TEST(WebAddress, Recognised)
{
    struct address_case {
        const wchar_t* path;
        bool web;
    };
    const address_case cases[] = {
        {L"http://host/a", true},  {L"HTTP://host/a", true},
        {L"https://host/a", true}, {L"Https://h", true},
        {L"http:/host", false},    {L"ftp://host/a", false},
        {L"C:\\http\\a", false},   {L"httpx://host", false},
        {L"http", false},          {L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ov::is_web_address(c.path), c.web) << c.path;
}

TEST_F(Files, TextReaderEncodings)
{
    const std::string ansi_bytes = "k=\xE9\xFC";
    struct text_case {
        const char* name;
        std::string bytes;
        std::int32_t code_page;
        std::wstring text;
        std::int32_t detected;
        bool bom;
    };
    const text_case cases[] = {
        {"UTF-16LE", std::string("\xFF\xFEk\0=\0\x16\x04", 8), ov::code_page_detect, L"k=\x0416", 1200, true},
        {"UTF-16BE", std::string("\xFE\xFF\0k\0=\x04\x16", 8), ov::code_page_detect, L"k=\x0416", 1201, true},
        {"UTF-8", "\xEF\xBB\xBFk=\xD0\x96", ov::code_page_detect, L"k=\x0416", 65001, true},
        {"ANSI", ansi_bytes, ov::code_page_detect, ov::multibyte_to_wide(ansi_bytes, CP_ACP), 0, false},
        {"given UTF-8 without mark", "k=\xD0\x96", ov::code_page_utf8, L"k=\x0416", 65001, false},
        {"empty", "", ov::code_page_detect, L"", 0, false},
    };
    for (const auto& c : cases) {
        put(L"text.txt", c.bytes);
        const auto decoded = ov::read_text_file(at(L"text.txt"), c.code_page);
        EXPECT_EQ(decoded.text, c.text) << c.name;
        EXPECT_EQ(decoded.code_page, c.detected) << c.name;
        EXPECT_EQ(decoded.had_bom, c.bom) << c.name;
    }
    // The system's ANSI code page decodes Latin letters of the test text.
    EXPECT_EQ(ov::multibyte_to_wide("abc", CP_ACP), L"abc");
    EXPECT_THROW((void)ov::multibyte_to_wide("abc", 12345), ov::win32_exception);
}

TEST_F(Files, ReplacingWritesWholeFilesOnly)
{
    put(L"setup.ini", "old");
    ov::write_file_replacing(at(L"setup.ini"), "new content");
    EXPECT_EQ(get(L"setup.ini"), "new content");
    EXPECT_EQ(files_in(folder), std::vector<std::wstring>{L"setup.ini"}); // no temporary left

    {
        // A reader that allows no writing keeps the old content in place.
        ov::file reader;
        reader.open_read(at(L"setup.ini"));
        const auto [error, file] = failure_of([&] { ov::write_file_replacing(at(L"setup.ini"), "lost"); });
        EXPECT_NE(error, 0u);
        EXPECT_EQ(file, at(L"setup.ini"));
    }
    EXPECT_EQ(get(L"setup.ini"), "new content");
    EXPECT_EQ(files_in(folder), std::vector<std::wstring>{L"setup.ini"});

    EXPECT_EQ(failure_of([&] { ov::write_file_replacing(at(L"a\\b\\c.ini"), "x"); }).first, ERROR_PATH_NOT_FOUND);
    ov::write_file_replacing(at(L"a\\b\\c.ini"), "x", true);
    EXPECT_EQ(get(L"a\\b\\c.ini"), "x");
}

TEST_F(Files, CreateFolders)
{
    ov::create_folders(at(L"x\\y\\z\\"));
    EXPECT_TRUE(exists(at(L"x\\y\\z")));
    EXPECT_NO_THROW(ov::create_folders(at(L"x\\y")));
    put(L"plain", "f");
    EXPECT_NE(failure_of([&] { ov::create_folders(at(L"plain\\sub")); }).first, 0u);
    EXPECT_EQ(failure_of([&] { ov::create_folders(at(L"plain")); }).second, at(L"plain"));
}

TEST_F(Files, IniClassesOnWindowsStorage)
{
    EXPECT_EQ(&ov::default_ini_storage(), &ov::windows_ini_storage());

    ov::inifilex ini;
    ini.set_string(L"Startup", L"Product", L"Demo \x0416");
    ASSERT_TRUE(ini.save_as(at(L"deep\\setup.ini"), ov::inifilex::save_use_encoding, ov::code_page_utf8, true));
    ov::inifilex again;
    ASSERT_TRUE(again.load(at(L"deep\\setup.ini")));
    EXPECT_EQ(again.get_string(L"startup", L"product"), L"Demo \x0416");
    EXPECT_EQ(ov::read_ini_string(at(L"deep\\setup.ini"), L"Startup", L"Product", L"d"), L"Demo \x0416");

    put(L"ansi.ini", "[S]\r\nk=\xE9\r\n");
    ov::profilefilex profile;
    ASSERT_TRUE(profile.load(at(L"ansi.ini")));
    EXPECT_EQ(profile.get_value(L"S", L"k"), ov::multibyte_to_wide("\xE9", CP_THREAD_ACP));
    ASSERT_TRUE(profile.save(at(L"ansi.ini")));
    EXPECT_EQ(get(L"ansi.ini").substr(0, 2), "\xFF\xFE");

    // A web address is read from the server: nobody listens on port 1 here.
    ov::inifilex remote;
    EXPECT_FALSE(remote.load(L"https://127.0.0.1:1/setup.ini"));
    EXPECT_EQ(remote.get_last_error(), static_cast<std::uint32_t>(kCannotConnect));
    ov::profilefilex missing;
    EXPECT_FALSE(missing.load(at(L"none.ini")));
    EXPECT_EQ(missing.last_error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));

    put(L"plainfile", "f");
    EXPECT_FALSE(ini.save_as(at(L"plainfile\\x.ini")));
    EXPECT_NE(ini.get_last_error(), 0u);
    EXPECT_EQ(ini.get_last_failed_file(), at(L"plainfile\\x.ini"));
}

} // namespace
