// The session's own operations on a real Session over this test program.
#include <gtest/gtest.h>
#include <windows.h>

#include "osaction.h"
#include "processstate.h"
#include "session.h"
#include "setupcontext.h"

namespace {

class SessionTest : public ::testing::Test {
protected:
    SessionTest() : context_(::GetModuleHandleW(nullptr), L"C:\\Media\\setup.exe")
    {
        context_.SetSilent(true);
        Process().SetupIniPath.clear();
        Process().TempDisk1Folder.clear();
        session_ = std::make_unique<Session>(::GetModuleHandleW(nullptr), context_);
        session_->State().launcherFolder = L"C:\\Media";
    }

    SetupContext context_;
    std::unique_ptr<Session> session_;
};

TEST_F(SessionTest, SettingsStoreRemovesEmptyTextUnlessForced)
{
    Session& s = *session_;
    EXPECT_FALSE(s.Has(PackageName));
    s.Set(PackageName, L"demo.msi");
    EXPECT_EQ(s.Get(PackageName), L"demo.msi");
    s.Set(PackageName, L"");
    EXPECT_FALSE(s.Has(PackageName));
    s.Set(PackageName, L"", true);
    EXPECT_TRUE(s.Has(PackageName));
    s.Append(CmdLine, L"A=1", L" ");
    s.Append(CmdLine, L"B=2", L" ");
    EXPECT_EQ(s.Get(CmdLine), L"A=1 B=2");
}

TEST_F(SessionTest, ScheduleRebootAddsPropertyOnce)
{
    Session& s = *session_;
    s.Set(CmdLine, L"X=1");
    s.SetScheduleReboot(true);
    s.SetScheduleReboot(true);
    EXPECT_EQ(s.Get(CmdLine), L"X=1 OVSCHEDULEREBOOT=1");
    EXPECT_EQ(s.OptionTextValue(), L" /v\"OVSCHEDULEREBOOT=1\"");
    EXPECT_EQ(s.RebootPrompt(), 5);
    s.SetScheduleReboot(false);
    EXPECT_EQ(s.RebootPrompt(), 1);
}

TEST_F(SessionTest, PendingRebootIsAnsweredYesWhenSilent)
{
    session_->State().rebootPending = 1;
    EXPECT_EQ(session_->RebootPrompt(), IDYES);
    EXPECT_EQ(session_->State().rebootPending, 0);
}

TEST_F(SessionTest, SourceFolderRules)
{
    Session& s = *session_;
    s.SetTempDisk1Folder(L"D:\\Disk1");
    EXPECT_EQ(s.State().sourceFolder, L"D:\\Disk1");
    EXPECT_EQ(Process().SetupIniPath, L"D:\\Disk1\\Setup.INI");
    EXPECT_EQ(Process().TempDisk1Folder, L"D:\\Disk1");
    // Once set, the source folder no longer follows the temp-disk-1 folder.
    s.SetTempDisk1Folder(L"E:\\Other");
    EXPECT_EQ(s.State().sourceFolder, L"D:\\Disk1");
    s.SetSourceFolder(L"sub");
    EXPECT_EQ(s.State().sourceFolder, L"E:\\Other\\sub");
    s.SetSourceFolder(L"F:\\abs");
    EXPECT_EQ(Process().SetupIniPath, L"F:\\abs\\Setup.INI");
}

TEST_F(SessionTest, OperatingSystemCheckRecordsTheRunningSystem)
{
    OSAction action(*session_);
    ASSERT_TRUE(action.Execute());
    const OsRecord& os = session_->State().os;
    OSVERSIONINFOW expected = {};
    expected.dwOSVersionInfoSize = sizeof expected;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(::GetVersionExW(&expected));
#pragma GCC diagnostic pop
    EXPECT_EQ(os.major, expected.dwMajorVersion);
    EXPECT_EQ(os.minor, expected.dwMinorVersion);
    EXPECT_EQ(os.platform, 2u);
    EXPECT_EQ(os.kind, 2u);
    EXPECT_EQ(os.modern, 1u);
    EXPECT_TRUE(is_64bit_windows());
}

} // namespace
