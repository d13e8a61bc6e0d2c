// Getting files for the installer step and caching the package, on a real
// Session with a real setup.ini in a scratch folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>

#include "fileretrieval.h"
#include "ov_string.h"
#include "packagecache.h"
#include "paths.h"
#include "processstate.h"
#include "session.h"
#include "setupcontext.h"

namespace {

std::wstring scratch_folder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring folder =
        ov::path::join(temp, std::wstring(L"ovtest-") + name + L"-" + std::to_wstring(::GetCurrentProcessId()));
    ::CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void write_file(const std::wstring& path, const std::string& bytes)
{
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(h);
}

bool exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string read_file(const std::wstring& path)
{
    std::string bytes;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got)
        bytes.append(buffer, got);
    ::CloseHandle(h);
    return bytes;
}

class RetrievalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        media_ = scratch_folder(L"media");
        temp_ = scratch_folder(L"temp");
        Process().TempFolder = temp_;
        Process().SetupResult = 0;
        context_ = std::make_unique<SetupContext>(::GetModuleHandleW(nullptr), ov::path::join(media_, L"setup.exe"));
        context_->SetSilent(true);
        session_ = std::make_unique<Session>(::GetModuleHandleW(nullptr), *context_);
        session_->State().payloadMode = PayloadBesideLauncher;
        session_->SetTempDisk1Folder(media_);
    }

    void TearDown() override
    {
        for (const auto& folder : {media_, temp_}) {
            std::wstring command = L"cmd /c rmdir /s /q \"" + folder + L"\"";
            STARTUPINFOW startup = {};
            startup.cb = sizeof startup;
            PROCESS_INFORMATION info = {};
            if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                                 &startup, &info)) {
                ::WaitForSingleObject(info.hProcess, 30000);
                ::CloseHandle(info.hProcess);
                ::CloseHandle(info.hThread);
            }
        }
        Process().TempFolder.clear();
        Process().SetupIniPath.clear();
    }

    void UseSetupIni(const std::string& text)
    {
        const std::wstring ini = ov::path::join(media_, L"Setup.INI");
        write_file(ini, text);
        Process().SetupIniPath = ini;
        session_->ReloadSetupIni();
    }

    std::wstring media_, temp_;
    std::unique_ptr<SetupContext> context_;
    std::unique_ptr<Session> session_;
};

TEST_F(RetrievalTest, LocationTypes)
{
    UseSetupIni("[Startup]\r\nPackageName=demo.msi\r\n"
                "[beside.msi]\r\nType=0\r\nLocation=sub\\beside.msi\r\n"
                "[temp.msi]\r\nType=4\r\nLocation=ignored.msi\r\n"
                "[web.msi]\r\nType=3\r\nLocation=http://127.0.0.1/web.msi\r\n"
                "[odd.msi]\r\nType=9\r\n");
    ::CreateDirectoryW(ov::path::join(media_, L"sub").c_str(), nullptr);
    write_file(ov::path::join(media_, L"sub\\beside.msi"), "msi");
    write_file(ov::path::join(media_, L"plain.msi"), "msi");
    write_file(ov::path::join(temp_, L"temp.msi"), "msi");

    struct Case {
        const wchar_t* name;
        bool ok;
        std::wstring path;
        int location;
    } cases[] = {
        {L"beside.msi", true, ov::path::join(media_, L"sub\\beside.msi"), 0},
        {L"plain.msi", true, ov::path::join(media_, L"plain.msi"), 0}, // no section: type 0 under its own name
        {L"missing.msi", false, ov::path::join(media_, L"missing.msi"), 0},
        {L"temp.msi", true, ov::path::join(temp_, L"temp.msi"), 4}, // the file name, not Location
        {L"web.msi", true, L"http://127.0.0.1/web.msi", 3},         // the installer reads the URL itself
        {L"odd.msi", true, L"unchanged", 9},
    };
    for (const auto& c : cases) {
        Process().SetupResult = 0;
        std::wstring path = L"unchanged";
        int location = -1;
        EXPECT_EQ(GetFile(*session_, c.name, c.name, path, false, location, false, false), c.ok) << c.name;
        EXPECT_EQ(path, c.path) << c.name;
        EXPECT_EQ(location, c.location) << c.name;
        EXPECT_EQ(Process().SetupResult, c.ok ? 0 : 1155) << c.name;
    }
}

TEST_F(RetrievalTest, SourceZeroTakesThePathWithoutLooking)
{
    UseSetupIni("[Startup]\r\nPackageName=demo.msi\r\nSource=0\r\n");
    session_->State().sourceKey = false;
    std::wstring path;
    int location = 0;
    EXPECT_TRUE(GetFile(*session_, L"nowhere.msi", L"nowhere.msi", path, false, location, false, false));
    EXPECT_EQ(path, ov::path::join(media_, L"nowhere.msi"));
}

TEST_F(RetrievalTest, NoCachingWithoutRootOrLocation)
{
    UseSetupIni("[Startup]\r\nPackageName=demo.msi\r\n");
    std::wstring path = ov::path::join(temp_, L"demo.msi");
    EXPECT_TRUE(CachePackage(*session_, L"demo.msi", path));
    EXPECT_EQ(path, ov::path::join(temp_, L"demo.msi"));
}

TEST_F(RetrievalTest, CacheLocationCreatesTheTreeAndReplacesSilently)
{
    UseSetupIni("[Startup]\r\nPackageName=demo.msi\r\n");
    const std::wstring package = ov::path::join(temp_, L"demo.msi");
    write_file(package, "new package");
    const std::wstring cache = ov::path::join(media_, L"cache\\level1\\level2");
    session_->Set(CacheLocation, L"\"" + cache + L"\"");
    // A different file of the same name is there already: a silent run replaces it.
    ::CreateDirectoryW(ov::path::join(media_, L"cache").c_str(), nullptr);
    ::CreateDirectoryW(ov::path::join(media_, L"cache\\level1").c_str(), nullptr);
    ::CreateDirectoryW(cache.c_str(), nullptr);
    write_file(ov::path::join(cache, L"demo.msi"), "old");

    std::wstring path = package;
    ASSERT_TRUE(CachePackage(*session_, L"demo.msi", path));
    EXPECT_EQ(path, ov::path::join(cache, L"demo.msi"));
    EXPECT_EQ(read_file(path), "new package");
}

TEST_F(RetrievalTest, CacheFailureInSilentRunStopsWith1610)
{
    UseSetupIni("[demo.msi]\r\nCacheRoot=-1\r\nCacheFolder=Q:\\no\\such\\drive\r\n");
    const std::wstring package = ov::path::join(temp_, L"demo.msi");
    write_file(package, "package");
    std::wstring path = package;
    EXPECT_FALSE(CachePackage(*session_, L"demo.msi", path));
    EXPECT_EQ(Process().SetupResult, 1610);
    EXPECT_TRUE(exists(package));
}

} // namespace
