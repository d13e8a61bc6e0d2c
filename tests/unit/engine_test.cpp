// The installer engine against the real Wine system: the file version of
// Msi.DLL, the engine check on this machine, the engine install and the
// shell launch with the redistributable double under the real names.
#include "engine_test_support.h"

#include "engine.h"
#include "osaction.h"
#include "ov_handles.h"
#include "ov_version.h"
#include "paths.h"
#include "processstate.h"
#include "session.h"
#include "setupcontext.h"
#include "setupdialoglink.h"
#include "shelllaunch.h"
#include "utils.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

using engine_test::DialogWatch;
using engine_test::EnvironmentValue;
using engine_test::ScratchFolder;

std::wstring system_folder()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT n = ::GetSystemDirectoryW(buffer, MAX_PATH + 1);
    return std::wstring(buffer, n);
}

std::wstring current_directory()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = ::GetCurrentDirectoryW(MAX_PATH + 1, buffer);
    return ov::path::without_trailing_backslash(std::wstring(buffer, n));
}

// ---------------------------------------------------------------------------
// File versions

TEST(FileVersion, ReadsTheFixedFileVersion)
{
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    // The test program carries the launcher's version resource.
    EXPECT_EQ(ov::GetFileVersionText(self), L"17.0.0.0");
    EXPECT_EQ(ov::format_file_version(0x00030001u, 0x0FA00983u), L"3.1.4000.2435");
    EXPECT_EQ(ov::format_file_version(0xFFFFFFFFu, 0u), L"65535.65535.0.0");
}

TEST(FileVersion, EmptyWithoutAVersionResource)
{
    ScratchFolder folder(L"version");
    const std::wstring text = folder.at(L"notes.dll");
    engine_test::write_file(text, "not a program");
    EXPECT_EQ(ov::GetFileVersionText(text), L"");
    EXPECT_EQ(ov::GetFileVersionText(folder.at(L"missing.dll")), L"");
    EXPECT_EQ(ov::GetFileVersionText(L""), L"");
}

TEST(FileVersion, InstalledEngineIsTheSystemsMsiDll)
{
    const std::wstring installed = InstalledEngineVersion();
    EXPECT_TRUE(std::regex_match(installed, std::wregex(L"\\d+\\.\\d+\\.\\d+\\.\\d+")))
        << std::string(installed.begin(), installed.end());
    EXPECT_EQ(installed, ov::GetFileVersionText(ov::path::join(system_folder(), L"msi.dll")));
}

// ---------------------------------------------------------------------------
// Sessions over a scratch media folder

class EngineSession : public ::testing::Test {
protected:
    EngineSession() : media_(L"media"), temp_(L"temp") {}

    void SetUp() override
    {
        Process().TempFolder = temp_.path();
        Process().SetupResult = 0;
        context_ = std::make_unique<SetupContext>(::GetModuleHandleW(nullptr), media_.at(L"setup.exe"));
        context_->SetSilent(true);
        session_ = std::make_unique<Session>(::GetModuleHandleW(nullptr), *context_);
        session_->State().payloadMode = PayloadBesideLauncher;
        session_->SetTempDisk1Folder(media_.path());
        UseSetupIni("[Startup]\r\n");
        OSAction os(*session_);
        ASSERT_TRUE(os.Execute());
    }

    void TearDown() override
    {
        Process().SetupIniPath.clear();
        Process().TempDisk1Folder.clear();
    }

    void UseSetupIni(const std::string& text)
    {
        const std::wstring ini = media_.at(L"Setup.INI");
        engine_test::write_file(ini, text);
        Process().SetupIniPath = ini;
        session_->ReloadSetupIni();
    }

    // A SupportOS-style list whose one entry describes the running system.
    std::string ListForThisSystem(const char* list) const
    {
        const OsRecord& os = session_->State().os;
        return std::string("[") + list + "]\r\nThisSystem=\r\n[ThisSystem]\r\nMajorVer=" + std::to_string(os.major) +
               "\r\nMinorVer=" + std::to_string(os.minor) + "\r\nMinorVerMax=" + std::to_string(os.minor + 1) +
               "\r\nPlatformId=" + std::to_string(os.platform) + "\r\n";
    }

    ScratchFolder media_;
    ScratchFolder temp_;
    std::unique_ptr<SetupContext> context_;
    std::unique_ptr<Session> session_;
};

// ---------------------------------------------------------------------------
// CheckEngine on this machine

using CheckEngineOnWine = EngineSession;

TEST_F(CheckEngineOnWine, RequiredBelowOrAtTheInstalledEngineNeedsNothing)
{
    const std::wstring installed = InstalledEngineVersion();
    ASSERT_FALSE(installed.empty());
    UseSetupIni("[Startup]\r\nSuppressWrongOS=Y\r\n");
    Process().SetupResult = 77;
    EXPECT_EQ(CheckEngine(*session_, L"1.0"), EngineUpToDate);
    EXPECT_EQ(CheckEngine(*session_, installed), EngineUpToDate);
    EXPECT_EQ(Process().SetupResult, 77);
}

TEST_F(CheckEngineOnWine, NewerThreeXEngineIsNotReplacedOn64BitWindows)
{
    ASSERT_TRUE(is_64bit_windows());
    // Even with a list naming this system and SuppressWrongOS set: nothing
    // is installed and nothing reported.
    UseSetupIni("[Startup]\r\nSuppressWrongOS=Y\r\n" + ListForThisSystem("SupportOSMsi30"));
    Process().SetupResult = 77;
    DialogWatch watch;
    context_->SetSilent(false);
    EXPECT_EQ(CheckEngine(*session_, L"99.0"), EngineKept);
    EXPECT_EQ(Process().SetupResult, 77);
    EXPECT_TRUE(watch.texts().empty());
}

// Below 3.x the 64-bit rule does not apply: the list, the rights and the
// disks decide. The installed version is given, as no system here has an
// engine older than 2.0.
TEST_F(CheckEngineOnWine, OlderEngineOnAListedSystemChecksRightsAndDisks)
{
    UseSetupIni(ListForThisSystem("SupportOS"));
    const int expected = IsEffectiveAdministrator() ? EngineInstall : EngineNotAdministrator;
    EXPECT_EQ(CheckEngine(*session_, L"2.0.2600.0", L"1.1.0.0"), expected);

    if (expected == EngineInstall) {
        session_->State().requiredDiskSpaceKb = 4000000000ul; // more than any disk reports
        DialogWatch watch;
        context_->SetSilent(false);
        EXPECT_EQ(CheckEngine(*session_, L"2.0.2600.0", L"1.1.0.0"), EngineNoDiskSpace);
        EXPECT_EQ(Process().SetupResult, 1201);
        ::Sleep(300);
        const auto texts = watch.texts();
        ASSERT_EQ(texts.size(), 1u);
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        EXPECT_EQ(texts[0], L"Setup needs 4000000000 KB free disk space in " + ov::path::drive_of(temp) +
                                L"\\. Please free up some space and try again");
    }
}

TEST_F(CheckEngineOnWine, UnlistedSystemKeepsItsEngineOrSaysSoWhenAsked)
{
    UseSetupIni("[Startup]\r\n");
    Process().SetupResult = 77;
    EXPECT_EQ(CheckEngine(*session_, L"2.0", L"1.1.0.0"), EngineKept);
    EXPECT_EQ(Process().SetupResult, 77);

    UseSetupIni("[Startup]\r\nSuppressWrongOS=yes\r\n");
    for (const bool silent : {true, false}) {
        context_->SetSilent(silent);
        Process().SetupResult = 77;
        DialogWatch watch;
        EXPECT_EQ(CheckEngine(*session_, L"2.0", L"1.1.0.0"), EngineKept);
        EXPECT_EQ(Process().SetupResult, 1207);
        ::Sleep(200);
        const auto texts = watch.texts();
        if (silent) {
            EXPECT_TRUE(texts.empty());
        } else {
            ASSERT_EQ(texts.size(), 1u);
            EXPECT_EQ(texts[0], L"Windows(R) Installer 1.1.0.0 found. This is an older version of the Windows(R) "
                                L"Installer. Click OK to continue.");
        }
    }
}

// ---------------------------------------------------------------------------
// InstallEngine with the double

// Saves the installer key's InstallerLocation and the current directory,
// and puts both back.
class InstallerLocationGuard {
public:
    InstallerLocationGuard()
    {
        (void)::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                                key_.put(), nullptr);
        wchar_t buffer[MAX_PATH + 1] = {};
        DWORD size = MAX_PATH * sizeof(wchar_t);
        had_ = key_ && ::RegQueryValueExW(key_.get(), L"InstallerLocation", nullptr, nullptr,
                                          reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS;
        old_ = buffer;
        directory_ = current_directory();
    }
    ~InstallerLocationGuard()
    {
        ::SetCurrentDirectoryW(directory_.c_str());
        if (had_)
            set(old_);
        else
            remove();
    }
    InstallerLocationGuard(const InstallerLocationGuard&) = delete;
    InstallerLocationGuard& operator=(const InstallerLocationGuard&) = delete;

    void set(const std::wstring& folder)
    {
        ASSERT_EQ(::RegSetValueExW(key_.get(), L"InstallerLocation", 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(folder.c_str()),
                                   static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    void remove() { ::RegDeleteValueW(key_.get(), L"InstallerLocation"); }
    [[nodiscard]] const std::wstring& directory() const noexcept { return directory_; }

private:
    static constexpr const wchar_t* kKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Installer";
    ov::unique_hkey key_;
    bool had_ = false;
    std::wstring old_;
    std::wstring directory_;
};

using InstallEngineWithDouble = EngineSession;

struct InstallForm {
    const wchar_t* required;
    const wchar_t* redist;
    const wchar_t* arguments; // what the redistributable must see after its own name
    int restartKindFor3010;
};

const InstallForm kForms[] = {
    {L"1.1.0.0", L"INSTMSIW.EXE", L"/q", EngineRestartFirst},
    {L"2.0.2600.0", L"INSTMSIW.EXE", L"/c:\"msiinst /delayrebootq\"", EngineRestartLater},
    {L"3.1.4000.0", L"WindowsInstaller-KB893803-x86.exe", L"/quiet /norestart", EngineRestartLater},
};

TEST_F(InstallEngineWithDouble, EachFormStartsTheRedistributableWithItsExactCommandLine)
{
    for (const InstallForm& form : kForms) {
        SCOPED_TRACE(engine_test::narrow(form.required));
        ScratchFolder folder(L"forms");
        const std::wstring path = folder.add_redistributable(form.redist);
        session_->Set(EngineVersion, form.required);
        int restartKind = -1;
        EXPECT_EQ(InstallEngine(*session_, path, restartKind), 0);
        EXPECT_EQ(restartKind, EngineRestartNone);
        const auto calls = folder.calls(form.redist);
        ASSERT_EQ(calls.size(), 1u);
        // Wine's shell quotes the program as LaunchAndWait's format does.
        EXPECT_EQ(calls[0], L"\"" + path + L"\" " + form.arguments);
    }
}

TEST_F(InstallEngineWithDouble, RestartRequiredGivesTheRestartKindOfTheForm)
{
    // Declared first so that it is removed after the guard has made the
    // old directory current again.
    ScratchFolder engineFolder(L"newengine");
    InstallerLocationGuard guard;
    guard.set(engineFolder.path());
    EnvironmentValue exit(L"REDIST_DOUBLE_EXIT", L"3010");
    for (const InstallForm& form : kForms) {
        SCOPED_TRACE(engine_test::narrow(form.required));
        ASSERT_TRUE(::SetCurrentDirectoryW(guard.directory().c_str()));
        ScratchFolder folder(L"restart");
        const std::wstring path = folder.add_redistributable(form.redist);
        session_->Set(EngineVersion, form.required);
        int restartKind = -1;
        EXPECT_EQ(InstallEngine(*session_, path, restartKind), 0);
        EXPECT_EQ(restartKind, form.restartKindFor3010);
        // Only an engine whose restart waits is used before the restart.
        const std::wstring expected =
            form.restartKindFor3010 == EngineRestartLater ? engineFolder.path() : guard.directory();
        EXPECT_EQ(current_directory(), expected);
    }
}

TEST_F(InstallEngineWithDouble, RestartLaterWithoutInstallerLocationKeepsTheDirectory)
{
    InstallerLocationGuard guard;
    guard.remove();
    EnvironmentValue exit(L"REDIST_DOUBLE_EXIT", L"3010");
    ScratchFolder folder(L"nolocation");
    const std::wstring path = folder.add_redistributable(L"WindowsInstaller-KB893803-x86.exe");
    session_->Set(EngineVersion, L"3.1");
    int restartKind = -1;
    EXPECT_EQ(InstallEngine(*session_, path, restartKind), 0);
    EXPECT_EQ(restartKind, EngineRestartLater);
    EXPECT_EQ(current_directory(), guard.directory());
}

TEST_F(InstallEngineWithDouble, FailureSetsTheResultAndReportsTheCode)
{
    EnvironmentValue exit(L"REDIST_DOUBLE_EXIT", L"1603");
    for (const InstallForm& form : kForms) {
        SCOPED_TRACE(engine_test::narrow(form.required));
        ScratchFolder folder(L"fail");
        const std::wstring path = folder.add_redistributable(form.redist);
        session_->Set(EngineVersion, form.required);
        // The message is the same for every form: shown once.
        const bool interactiveToo = &form == &kForms[0];
        for (const bool silent : {true, false}) {
            if (!silent && !interactiveToo)
                continue;
            context_->SetSilent(silent);
            Process().SetupResult = 0;
            int restartKind = -1;
            DialogWatch watch;
            EXPECT_EQ(InstallEngine(*session_, path, restartKind), 1603);
            EXPECT_EQ(restartKind, EngineRestartNone);
            EXPECT_EQ(Process().SetupResult, 1156);
            ::Sleep(200);
            const auto texts = watch.texts();
            if (silent) {
                EXPECT_TRUE(texts.empty());
            } else {
                // The string table has no 1603: message 1156's text stands in.
                ASSERT_EQ(texts.size(), 1u);
                EXPECT_EQ(texts[0], L"1603: Internal error in Windows Installer");
            }
        }
    }
}

TEST_F(InstallEngineWithDouble, ExitCodeWithItsOwnMessageShowsThatText)
{
    EnvironmentValue exit(L"REDIST_DOUBLE_EXIT", L"1202");
    ScratchFolder folder(L"owntext");
    const std::wstring path = folder.add_redistributable(L"INSTMSIW.EXE");
    session_->Set(EngineVersion, L"2.0");
    context_->SetSilent(false);
    int restartKind = -1;
    DialogWatch watch;
    EXPECT_EQ(InstallEngine(*session_, path, restartKind), 1202);
    ::Sleep(200);
    const auto texts = watch.texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], L"1202: " + context_->LoadString(1202));
}

TEST_F(InstallEngineWithDouble, RedistributableThatCannotStart)
{
    ScratchFolder folder(L"nostart");
    for (const InstallForm& form : kForms) {
        SCOPED_TRACE(engine_test::narrow(form.required));
        session_->Set(EngineVersion, form.required);
        const bool interactive = &form == &kForms[0];
        context_->SetSilent(!interactive);
        Process().SetupResult = 0;
        int restartKind = -1;
        DialogWatch watch;
        EXPECT_EQ(InstallEngine(*session_, folder.at(form.redist), restartKind), kLaunchFailed);
        EXPECT_EQ(restartKind, EngineRestartNone);
        EXPECT_EQ(Process().SetupResult, 1156);
        ::Sleep(200);
        const auto texts = watch.texts();
        if (!interactive) {
            EXPECT_TRUE(texts.empty());
            continue;
        }
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0], L"-858993460: Internal error in Windows Installer");
    }
}

// ---------------------------------------------------------------------------
// ShellLaunchAndWait

class ShellLaunch : public ::testing::Test {
protected:
    ShellLaunch() : folder_(L"shell") {}
    void SetUp() override
    {
        path_ = folder_.add_redistributable(L"redist.exe");
        Process().SetupResult = 0;
    }
    void TearDown() override { SetSetupDialogLink({}); }

    ScratchFolder folder_;
    std::wstring path_;
};

TEST_F(ShellLaunch, AnswersAndStoresTheWholeExitCode)
{
    struct Case {
        const wchar_t* value;
        int code;
    };
    const Case cases[] = {{L"0", 0}, {L"3010", 3010}, {L"1603", 1603}, {L"0xC0000005", -1073741819}, {L"-4", -4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EnvironmentValue exit(L"REDIST_DOUBLE_EXIT", c.value);
        Process().SetupResult = 77;
        EXPECT_EQ(ShellLaunchAndWait(path_, L"/quiet /norestart", SW_SHOWNORMAL), c.code);
        EXPECT_EQ(Process().SetupResult, c.code);
        Process().SetupResult = 77;
        EXPECT_EQ(shell_launch::launch_without_shell(path_, L"/x", SW_HIDE), c.code);
        EXPECT_EQ(Process().SetupResult, c.code);
    }
}

TEST_F(ShellLaunch, ProgramAndParametersReachTheChild)
{
    EXPECT_EQ(ShellLaunchAndWait(path_, L"/quiet /norestart \"a b\"", SW_HIDE), 0);
    EXPECT_EQ(shell_launch::launch_without_shell(path_, L"/quiet /norestart", SW_SHOWNORMAL), 0);
    const auto calls = folder_.calls(L"redist.exe");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], L"\"" + path_ + L"\" /quiet /norestart \"a b\"");
    EXPECT_EQ(calls[1], L"\"" + path_ + L"\" /quiet /norestart");
}

TEST_F(ShellLaunch, ProgramThatCannotStartLeavesTheResultAlone)
{
    engine_test::write_file(folder_.at(L"broken.exe"), "MZ this is no program");
    const std::wstring missing = folder_.at(L"missing.exe");
    for (const std::wstring& file : {missing, folder_.at(L"broken.exe")}) {
        SCOPED_TRACE(engine_test::narrow(file));
        Process().SetupResult = 77;
        EXPECT_EQ(ShellLaunchAndWait(file, L"/quiet", SW_SHOWNORMAL), kLaunchFailed);
        EXPECT_EQ(shell_launch::launch_without_shell(file, L"/quiet", SW_SHOWNORMAL), kLaunchFailed);
        EXPECT_EQ(Process().SetupResult, 77);
    }
}

namespace tick {
int count = 0;
void on_tick() noexcept
{
    ++count;
}
} // namespace tick

TEST_F(ShellLaunch, TimerTicksMoveTheDialogWhileWaiting)
{
    EnvironmentValue sleep(L"REDIST_DOUBLE_SLEEP_MS", L"600");
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, nullptr);
    ASSERT_NE(timer, 0u);

    // No dialog: the ticks are simply dropped.
    EXPECT_EQ(ShellLaunchAndWait(path_, L"", SW_HIDE), 0);

    tick::count = 0;
    SetupDialogLink link;
    link.wait_tick = &tick::on_tick;
    SetSetupDialogLink(link);
    EXPECT_EQ(ShellLaunchAndWait(path_, L"", SW_HIDE), 0);
    EXPECT_GE(tick::count, 4);
    const int afterShell = tick::count;
    EXPECT_EQ(shell_launch::launch_without_shell(path_, L"", SW_HIDE), 0);
    EXPECT_GE(tick::count - afterShell, 4);
    ::KillTimer(nullptr, timer);
}

TEST_F(ShellLaunch, OtherMessagesAreDroppedButAQuitRequestIsKept)
{
    EnvironmentValue sleep(L"REDIST_DOUBLE_SLEEP_MS", L"300");
    ASSERT_TRUE(::PostThreadMessageW(::GetCurrentThreadId(), WM_APP + 5, 0, 0));
    ::PostQuitMessage(42);
    EXPECT_EQ(ShellLaunchAndWait(path_, L"", SW_HIDE), 0);
    // A filtered peek may answer the quit request whatever the filter, so
    // the whole queue is read.
    std::vector<std::pair<UINT, WPARAM>> left;
    MSG message = {};
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        left.emplace_back(message.message, message.wParam);
        if (message.message == WM_QUIT)
            break;
    }
    EXPECT_EQ(left, (std::vector<std::pair<UINT, WPARAM>>{{WM_QUIT, 42}}));
}

} // namespace
