// The deleter against the real file system under Wine: registration in the
// control file, the passes (run one by one, so ten of them take no time), the
// window and its one-second timer (run for real, twice), and the removal of
// a relaunched launcher after its exit (real processes).
#include "deleteaction.h"
#include "inifile.h"
#include "ov_file.h"
#include "ov_handles.h"
#include "paths.h"
#include "processstate.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// A deleter window of this process (FindWindow would also see those of
// launchers that other tests run at the same time).
bool own_deleter_window_exists()
{
    HWND window = nullptr;
    while ((window = ::FindWindowExW(nullptr, window, DeleteAction::kWindowName, DeleteAction::kWindowName))) {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(window, &pid);
        if (pid == ::GetCurrentProcessId())
            return true;
    }
    return false;
}

using clock_type = std::chrono::steady_clock;

bool exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void write_file(const std::wstring& path, const std::string& content = "data")
{
    ov::file f;
    f.create(path);
    f.write(content);
}

void remove_tree(const std::wstring& folder)
{
    WIN32_FIND_DATAW data = {};
    ov::unique_hfind find(::FindFirstFileW(ov::path::join(folder, L"*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const auto path = ov::path::join(folder, name);
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(path);
            else
                ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(find.get(), &data));
    }
    ::RemoveDirectoryW(folder.c_str());
}

std::wstring user_temp_folder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
    return ov::path::without_trailing_backslash(std::wstring(buffer, n));
}

std::wstring this_program_folder()
{
    wchar_t buffer[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return ov::path::folder_of(buffer);
}

// Opens a file with no sharing, as a process using it would.
ov::unique_hfile lock(const std::wstring& path)
{
    return ov::unique_hfile(
        ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Wine starts its desktop when a process creates its first window, which
// takes seconds; timings of the deleter's window start after that.
void warm_up_windows()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    ov::unique_hwnd window(
        ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr));
}

// Each test gets its own temporary folder as the launcher's TempFolder.
class Deleter : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        temp = ov::path::join(user_temp_folder(), L"ovdeltest-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                                      std::to_wstring(counter++));
        remove_tree(temp);
        ASSERT_TRUE(::CreateDirectoryW(temp.c_str(), nullptr));
        Process().TempFolder = temp;
    }
    void TearDown() override
    {
        Process().TempFolder.clear();
        remove_tree(temp);
    }
    std::wstring at(const std::wstring& name) const { return ov::path::join(temp, name); }
    std::wstring control() const { return at(DeleteAction::kControlFileName); }
    std::vector<std::wstring> listed(const wchar_t* section) const
    {
        ov::profilefilex list;
        EXPECT_TRUE(list.load(control()));
        return list.get_keys(section);
    }
    // Runs passes until the deleter finishes; answers how many it took.
    int passes_until_done(DeleteAction& deleter, int limit = 20)
    {
        for (int pass = 1; pass <= limit; ++pass)
            if (deleter.DeleteStep())
                return pass;
        return -1;
    }

    std::wstring temp;
};

TEST_F(Deleter, RegistrationWritesTheControlFile)
{
    ASSERT_TRUE(DeleteAction::AddFile(at(L"setup.ini")));
    ASSERT_TRUE(DeleteAction::AddNamedFile(at(L"1033.mst"), L"Transform"));
    ASSERT_TRUE(DeleteAction::AddFolder(at(L"Redist\\")));

    const auto bytes = ov::read_text_file(control());
    EXPECT_EQ(bytes.code_page, ov::code_page_utf16le);
    EXPECT_TRUE(bytes.had_bom);
    ov::profilefilex list;
    ASSERT_TRUE(list.load(control()));
    EXPECT_EQ(list.get_value(L"Files", L"setup.ini"), at(L"setup.ini"));
    EXPECT_EQ(list.get_value(L"Files", L"Transform"), at(L"1033.mst"));
    EXPECT_EQ(list.get_value(L"Folders", L"Redist"), at(L"Redist\\"));
}

TEST_F(Deleter, RegistrationNeedsATemporaryFolderAndAReadableList)
{
    ASSERT_TRUE(DeleteAction::AddFile(at(L"a.txt")));
    {
        const auto held = lock(control());
        ASSERT_TRUE(held);
        EXPECT_FALSE(DeleteAction::AddFile(at(L"b.txt")));
    }
    EXPECT_EQ(listed(L"Files"), std::vector<std::wstring>{L"a.txt"}); // not overwritten

    Process().TempFolder.clear();
    EXPECT_FALSE(DeleteAction::AddFile(at(L"c.txt")));
    EXPECT_FALSE(DeleteAction::AddFolder(at(L"d")));
}

TEST_F(Deleter, WithoutControlFileTheFolderGoesInTheFirstPass)
{
    DeleteAction deleter;
    EXPECT_TRUE(deleter.DeleteStep());
    EXPECT_FALSE(exists(temp));
}

TEST_F(Deleter, NoTemporaryFolderMeansNothingToDo)
{
    Process().TempFolder.clear();
    DeleteAction deleter;
    EXPECT_TRUE(deleter.DeleteStep());
    EXPECT_TRUE(exists(temp));
}

TEST_F(Deleter, LockedFileIsDeletedOnceUnlocked)
{
    write_file(at(L"setup.msi"));
    ASSERT_TRUE(DeleteAction::AddFile(at(L"setup.msi")));
    DeleteAction deleter;
    {
        const auto held = lock(at(L"setup.msi"));
        ASSERT_TRUE(held);
        EXPECT_FALSE(deleter.DeleteStep());
        EXPECT_FALSE(deleter.DeleteStep());
        EXPECT_TRUE(exists(at(L"setup.msi")));
        EXPECT_EQ(listed(L"Files"), std::vector<std::wstring>{L"setup.msi"});
    }
    EXPECT_FALSE(deleter.DeleteStep());
    EXPECT_FALSE(exists(at(L"setup.msi")));
    EXPECT_TRUE(listed(L"Files").empty());
    // The next pass finds the list empty and ends with the control file and folder.
    EXPECT_TRUE(deleter.DeleteStep());
    EXPECT_FALSE(exists(temp));
}

TEST_F(Deleter, FileThatNeverUnlocksIsGivenUpAfterTenPasses)
{
    write_file(at(L"busy.dll"));
    ASSERT_TRUE(DeleteAction::AddFile(at(L"busy.dll")));
    const auto held = lock(at(L"busy.dll"));
    ASSERT_TRUE(held);
    DeleteAction deleter;
    EXPECT_EQ(passes_until_done(deleter), DeleteAction::kMaxAttempts + 1);
    EXPECT_EQ(deleter.Attempts(), DeleteAction::kMaxAttempts);
    EXPECT_FALSE(exists(control()));
    EXPECT_TRUE(exists(at(L"busy.dll")));
    EXPECT_TRUE(exists(temp));
}

TEST_F(Deleter, SameNameTwiceDeletesOnlyTheLaterFile)
{
    ASSERT_TRUE(::CreateDirectoryW(at(L"one").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(at(L"two").c_str(), nullptr));
    write_file(at(L"one\\setup.msi"));
    write_file(at(L"two\\setup.msi"));
    ASSERT_TRUE(DeleteAction::AddFile(at(L"one\\setup.msi")));
    ASSERT_TRUE(DeleteAction::AddFile(at(L"two\\setup.msi")));
    DeleteAction deleter;
    EXPECT_FALSE(deleter.DeleteStep());
    EXPECT_TRUE(exists(at(L"one\\setup.msi")));
    EXPECT_FALSE(exists(at(L"two\\setup.msi")));
    // The folder is not empty, so it stays; the deleter still ends.
    EXPECT_GT(passes_until_done(deleter), 0);
    EXPECT_FALSE(exists(control()));
    EXPECT_TRUE(exists(at(L"one\\setup.msi")));
}

TEST_F(Deleter, FoldersWaitForTheFilesAndStayWhenNotEmpty)
{
    write_file(at(L"data.cab"));
    ASSERT_TRUE(::CreateDirectoryW(at(L"empty").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(at(L"full").c_str(), nullptr));
    write_file(at(L"full\\unregistered.txt"));
    ASSERT_TRUE(DeleteAction::AddFile(at(L"data.cab")));
    ASSERT_TRUE(DeleteAction::AddFolder(at(L"empty")));
    ASSERT_TRUE(DeleteAction::AddFolder(at(L"full")));

    DeleteAction deleter;
    EXPECT_FALSE(deleter.DeleteStep());
    EXPECT_FALSE(exists(at(L"data.cab")));
    EXPECT_TRUE(exists(at(L"empty"))); // not in the pass that still had files
    EXPECT_FALSE(deleter.DeleteStep());
    EXPECT_FALSE(exists(at(L"empty")));
    EXPECT_TRUE(exists(at(L"full")));
    EXPECT_EQ(listed(L"Folders"), std::vector<std::wstring>{L"full"});

    EXPECT_EQ(passes_until_done(deleter), DeleteAction::kMaxAttempts - 2 + 1);
    EXPECT_FALSE(exists(control()));
    EXPECT_TRUE(exists(at(L"full\\unregistered.txt")));
}

TEST_F(Deleter, ReadOnlyAndAlreadyMissingFilesLeaveTheList)
{
    write_file(at(L"readonly.txt"));
    ASSERT_TRUE(::SetFileAttributesW(at(L"readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(DeleteAction::AddFile(at(L"readonly.txt")));
    ASSERT_TRUE(DeleteAction::AddFile(at(L"gone.txt")));
    ASSERT_TRUE(DeleteAction::AddNamedFile(at(L"missing\\x.txt"), L"x"));
    DeleteAction deleter;
    EXPECT_FALSE(deleter.DeleteStep());
    EXPECT_FALSE(exists(at(L"readonly.txt")));
    EXPECT_TRUE(listed(L"Files").empty());
    EXPECT_TRUE(deleter.DeleteStep());
    EXPECT_FALSE(exists(temp));
}

TEST_F(Deleter, UnreadableControlFileIsNotMistakenForAnEmptyList)
{
    write_file(at(L"a.txt"));
    ASSERT_TRUE(DeleteAction::AddFile(at(L"a.txt")));
    DeleteAction deleter;
    {
        const auto held = lock(control());
        ASSERT_TRUE(held);
        EXPECT_FALSE(deleter.DeleteStep());
    }
    EXPECT_TRUE(exists(control()));
    EXPECT_FALSE(deleter.DeleteStep());
    EXPECT_FALSE(exists(at(L"a.txt")));
}

// The window and its timer, for real: a pass one second after the start and
// then one a second.
TEST_F(Deleter, RunDeleterEndsAfterTheFirstTickWithoutControlFile)
{
    warm_up_windows();
    DeleteAction deleter;
    const auto start = clock_type::now();
    ASSERT_TRUE(deleter.RunDeleter(static_cast<HINSTANCE>(Process().Instance)));
    const auto elapsed = clock_type::now() - start;
    EXPECT_FALSE(exists(temp));
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    // The window is gone (other launchers running meanwhile have windows of
    // the same name: only this process's count) and no quit message is left
    // for the caller's loop.
    EXPECT_FALSE(own_deleter_window_exists());
    MSG msg = {};
    EXPECT_FALSE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(Deleter, RunDeleterRetriesALockedFileEverySecond)
{
    write_file(at(L"setup.exe"));
    ASSERT_TRUE(DeleteAction::AddFile(at(L"setup.exe")));
    auto held = lock(at(L"setup.exe"));
    ASSERT_TRUE(held);
    warm_up_windows();
    std::thread unlock([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        held.reset();
    });
    DeleteAction deleter;
    const auto start = clock_type::now();
    const bool done = deleter.RunDeleter(static_cast<HINSTANCE>(Process().Instance));
    const auto elapsed = clock_type::now() - start;
    unlock.join();
    EXPECT_TRUE(done);
    EXPECT_FALSE(exists(at(L"setup.exe")));
    EXPECT_FALSE(exists(temp));
    // Passes at 1 s (locked), 2 s (deleted), 3 s (list empty: done).
    EXPECT_EQ(deleter.Attempts(), 2);
    EXPECT_GE(elapsed, std::chrono::milliseconds(2700));
    EXPECT_LT(elapsed, std::chrono::seconds(8));
}

// ---------------------------------------------------------------------------
// Removal of a launcher running from the temporary folder.

class RemoveSelf : public Deleter {
protected:
    // Copies the probe into the test's folder and runs it there to its end.
    DWORD run_probe(const std::wstring& arguments)
    {
        const auto probe = ov::path::join(this_program_folder(), L"removeself_probe.exe");
        copy = at(L"relaunched\\setup.exe");
        ::CreateDirectoryW(at(L"relaunched").c_str(), nullptr);
        EXPECT_TRUE(::CopyFileW(probe.c_str(), copy.c_str(), TRUE));
        std::wstring command_line = L"\"" + copy + L"\" " + arguments;
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!::CreateProcessW(copy.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, temp.c_str(), &si,
                              &pi)) {
            ADD_FAILURE() << "probe did not start: " << ::GetLastError();
            return 0xFFFFFFFF;
        }
        ov::unique_handle process(pi.hProcess);
        ov::unique_handle thread(pi.hThread);
        probe_id = pi.dwProcessId;
        EXPECT_EQ(::WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
        DWORD code = 0;
        ::GetExitCodeProcess(process.get(), &code);
        return code;
    }
    static bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit)
    {
        const auto end = clock_type::now() + limit;
        while (clock_type::now() < end) {
            if (condition())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return condition();
    }
    // The helper's program files of the probe's run (named after its process
    // id), so that other tests running meanwhile do not count.
    std::vector<std::wstring> leftover_helpers() const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data = {};
        const auto pattern = L"~ovdel" + std::to_wstring(probe_id) + L"-*";
        ov::unique_hfind find(::FindFirstFileW(ov::path::join(user_temp_folder(), pattern).c_str(), &data));
        if (find) {
            do
                names.emplace_back(data.cFileName);
            while (::FindNextFileW(find.get(), &data));
        }
        return names;
    }
    std::wstring copy;
    DWORD probe_id = 0;
};

TEST_F(RemoveSelf, HelperDeletesTheProgramAndItsFolderAfterExit)
{
    EXPECT_EQ(run_probe(L""), 0u);
    EXPECT_TRUE(eventually([&] { return !exists(at(L"relaunched")); }, std::chrono::seconds(15)));
    EXPECT_TRUE(eventually([&] { return leftover_helpers().empty(); }, std::chrono::seconds(15)))
        << "the helper's own file stayed behind";
}

TEST_F(RemoveSelf, DeleterInsideTheTemporaryFolderEndsWithTheHelper)
{
    // The probe treats its own folder ("relaunched") as the temporary folder.
    const auto extracted = at(L"relaunched\\data1.cab");
    ASSERT_TRUE(::CreateDirectoryW(at(L"relaunched").c_str(), nullptr));
    write_file(extracted);
    EXPECT_EQ(run_probe(L"--deleter \"" + extracted + L"\""), 0u);
    EXPECT_FALSE(exists(extracted));
    EXPECT_TRUE(eventually([&] { return !exists(at(L"relaunched")); }, std::chrono::seconds(15)));
    EXPECT_TRUE(eventually([&] { return leftover_helpers().empty(); }, std::chrono::seconds(15)));
}

TEST(RemovalHelper, IgnoresOtherCommandLinesAndRefusesStrangers)
{
    EXPECT_FALSE(DeleteAction::RunRemovalHelper(nullptr));
    EXPECT_FALSE(DeleteAction::RunRemovalHelper(L"setup.exe /s /v\"/qn\""));
    EXPECT_FALSE(DeleteAction::RunRemovalHelper(L"setup.exe /ovremoveafterexit"));

    // A command line naming a file that is not the waited-for process's
    // program deletes nothing, and does not wait.
    const auto victim = ov::path::join(user_temp_folder(), L"ovdeltest-victim.txt");
    write_file(victim);
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &duplicate,
                                  SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0));
    const std::wstring forged = L"x.exe /ovremoveafterexit " +
                                std::to_wstring(reinterpret_cast<std::uintptr_t>(duplicate)) + L" \"" + victim + L"\"";
    EXPECT_EQ(DeleteAction::RunRemovalHelper(forged.c_str()), 1); // the helper closed the handle
    EXPECT_TRUE(exists(victim));
    EXPECT_EQ(DeleteAction::RunRemovalHelper(L"x.exe /ovremoveafterexit 0 \"C:\\x.exe\""), 1);
    EXPECT_EQ(DeleteAction::RunRemovalHelper(L"x.exe /ovremoveafterexit 12z \"C:\\x.exe\""), 1);
    ::DeleteFileW(victim.c_str());
}

} // namespace
