// The user options of an ordinary run, applied to a real Session.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "ov_handles.h"
#include "processstate.h"
#include "session.h"
#include "setupcontext.h"
#include "useroptions.h"

namespace {

// A session over this test program, silent so that the usage text of an
// invalid option is logged but never shown.
class UserOptionsTest : public ::testing::Test {
protected:
    UserOptionsTest() : context_(::GetModuleHandleW(nullptr), L"C:\\Media\\setup.exe")
    {
        context_.SetSilent(true);
        session_ = std::make_unique<Session>(::GetModuleHandleW(nullptr), context_);
        Process().SetupIniPath.clear();
        Process().TempFolder.clear();
    }

    bool Parse(std::initializer_list<const wchar_t*> options)
    {
        for (const auto* option : options)
            if (!ParseUserOption(*session_, option))
                return false;
        return true;
    }

    SetupContext context_;
    std::unique_ptr<Session> session_;
};

struct OptionCase {
    std::vector<const wchar_t*> options;
    bool valid;
    std::function<void(const Session&, const SetupContext&)> check;
    const char* what;
};

TEST_F(UserOptionsTest, TableOfOptions)
{
    const std::vector<OptionCase> cases = {
        {{L"auto"},
         true,
         [](const Session& s, const SetupContext& c) {
             EXPECT_TRUE(c.Automatic());
             EXPECT_EQ(s.OptionTextValue(), L" /auto");
         },
         "auto"},
        {{L"a"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_EQ(s.State().installMode, ModeAdministrative);
             EXPECT_EQ(s.OptionTextValue(), L" /a");
         },
         "administrative"},
        {{L"a", L"aXYZ"}, false, nullptr, "second administrative"},
        {{L"x"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.State().installMode, ModeUninstall); },
         "uninstall"},
        {{L"x", L"x"}, false, nullptr, "x twice"},
        {{L"x", L"j"}, false, nullptr, "x then j"},
        {{L"jm"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_EQ(s.State().installMode, ModeAdvertise);
             EXPECT_EQ(s.Get(ModeFlags), L"m");
             EXPECT_EQ(s.OptionTextValue(), L" /jm");
         },
         "advertise"},
        {{L"bC:\\Cache"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.Get(CacheLocation), L"C:\\Cache"); },
         "cache"},
        {{L"c"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_EQ(s.State().payloadMode, PayloadEmbedded);
             EXPECT_TRUE(s.State().quietStart);
         },
         "payload"},
        {{L"debuglog\"C:\\x.log\""},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.OptionTextValue(), L""); },
         "debuglog"},
        {{L"dX=1"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_EQ(s.OptionTextValue(), L" /dX=1");
             EXPECT_EQ(s.EngineCommandLine(), L" /dX=1");
         },
         "d"},
        {{L"embed{abc}"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.State().runMode, RunPrepareAndInstall); },
         "embed"},
        {{L"e\"C:\\T\\{A}\""},
         true,
         [](const Session& s, const SetupContext& c) {
             EXPECT_EQ(Process().TempFolder, L"C:\\T\\{A}");
             EXPECT_EQ(Process().SetupIniPath, L"C:\\T\\{A}\\Setup.INI");
             EXPECT_EQ(s.State().runMode, RunInstallOnly);
             EXPECT_TRUE(s.State().quietStart);
         },
         "e"},
        {{L"f1C:\\r.ovs"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_TRUE(s.State().responseFile);
             EXPECT_EQ(s.OptionTextValue(), L" /f1C:\\r.ovs");
         },
         "f1"},
        {{L"f2C:\\l.log"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.OptionTextValue(), L" /f2C:\\l.log"); },
         "f2"},
        {{L"f3sub"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_TRUE(s.State().f3);
             EXPECT_TRUE(s.State().sourceFolderSet);
             EXPECT_EQ(Process().SetupIniPath, s.State().launcherFolder + L"\\sub\\Setup.INI");
         },
         "f3 relative"},
        {{L"fxyz"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.OptionTextValue(), L" /fxyz"); },
         "f"},
        {{L"hide_progress"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_TRUE(s.State().hideProgress); },
         "hide_progress"},
        {{L"hide_splash"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_FALSE(s.State().hideProgress); },
         "hide_splash"},
        {{L"instance=default"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.State().instanceId, -1); },
         "instance default"},
        {{L"instance=12"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.State().instanceId, 12); },
         "instance 12"},
        {{L"instance=12a"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.State().instanceId, -3); },
         "instance invalid"},
        {{L"L0x0407"},
         true,
         [](const Session&, const SetupContext& c) { EXPECT_EQ(c.CommandLineLanguage(), 1031); },
         "L hex"},
        {{L"l1031"},
         true,
         [](const Session&, const SetupContext& c) { EXPECT_EQ(c.CommandLineLanguage(), 1031); },
         "L decimal"},
        {{L"m1x", L"m2y", L"mz"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.OptionTextValue(), L" /m1x /m2y /mz"); },
         "m"},
        {{L"noscript_uninst"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_EQ(s.OptionTextValue(), L" /noscript_uninst");
             EXPECT_EQ(s.State().runMode, RunPrepareAndInstall);
         },
         "noscript_uninst"},
        {{L"nDemo.msi"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_EQ(s.Get(PackageName), L"Demo.msi");
             EXPECT_EQ(s.State().runMode, RunInstallOnly);
         },
         "n"},
        {{L"q\"C:\\a\""}, true, [](const Session& s, const SetupContext&) { EXPECT_TRUE(s.State().relaunched); }, "q"},
        {{L"removeonly", L"runfromtemp", L"rebootX", L"runas"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.OptionTextValue(), L" /removeonly"); },
         "r words"},
        {{L"record"}, true, [](const Session& s, const SetupContext&) { EXPECT_EQ(s.OptionTextValue(), L" /r"); }, "r"},
        {{L"SMS", L"sms"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.OptionTextValue(), L" /SMS /SMS"); },
         "SMS"},
        {{L"show_reboot_msg"},
         true,
         [](const Session&, const SetupContext& c) { EXPECT_TRUE(c.ShowRebootMessage()); },
         "show_reboot_msg"},
        {{L"silent"},
         true,
         [](const Session& s, const SetupContext& c) {
             EXPECT_TRUE(c.Silent());
             EXPECT_EQ(s.OptionTextValue(), L" /s");
         },
         "silent"},
        {{L"tempdisk1folder\"C:\\x\""},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.State().runMode, RunPrepareAndInstall); },
         "tempdisk1folder"},
        {{L"tC:\\Disk1"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_EQ(s.State().tempDisk1Folder, L"C:\\Disk1");
             EXPECT_EQ(s.State().sourceFolder, L"C:\\Disk1");
             EXPECT_EQ(s.State().runMode, RunNothing);
         },
         "t"},
        {{L"uahttp://a", L"uwhttp://w", L"umhttp://m", L"uninst", L"unknown"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_EQ(s.Get(InstMsiAUrl), L"http://a");
             EXPECT_EQ(s.Get(InstMsiWUrl), L"http://w");
             EXPECT_EQ(s.Get(PackageUrl), L"http://m");
             EXPECT_EQ(s.OptionTextValue(), L" /uninst");
         },
         "u"},
        {{L"vA=1", L"vB=\"x y\""},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_EQ(s.Get(CmdLine), L"A=1 B=\"x y\"");
             EXPECT_EQ(s.OptionTextValue(), L" /v\"A=1\" /v\"B=\\\"x y\\\"\"");
         },
         "v twice"},
        {{L"verbose C:\\v.log"},
         true,
         [](const Session& s, const SetupContext&) {
             EXPECT_EQ(s.Get(CmdLine), L"");
             EXPECT_EQ(s.OptionTextValue(), L" /verbose\" C:\\v.log\"");
         },
         "verbose"},
        {{L"w", L"zabc"},
         true,
         [](const Session& s, const SetupContext&) { EXPECT_EQ(s.OptionTextValue(), L" /zabc"); },
         "w z"},
        {{L"g"}, false, nullptr, "g"},
        {{L"k"}, false, nullptr, "k"},
        {{L"o"}, false, nullptr, "o"},
        {{L"y"}, false, nullptr, "y"},
        {{L"1"}, false, nullptr, "digit"},
        {{L""}, false, nullptr, "empty"},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetupContext context(::GetModuleHandleW(nullptr), L"C:\\Media\\setup.exe");
        context.SetSilent(true);
        Session session(::GetModuleHandleW(nullptr), context);
        Process().SetupIniPath.clear();
        Process().TempFolder.clear();
        bool ok = true;
        for (const auto* option : c.options)
            ok = ok && ParseUserOption(session, option);
        EXPECT_EQ(ok, c.valid);
        if (c.check)
            c.check(session, context);
    }
}

TEST_F(UserOptionsTest, SilentWithoutResponseFileAddsSetupOvs)
{
    const wchar_t* argv[] = {L"setup.exe", L"/s", L"/v/qn"};
    SetupContext context(::GetModuleHandleW(nullptr), L"C:\\Media\\setup.exe");
    OvSetup setup;
    ASSERT_TRUE(
        setup.Init(::GetModuleHandleW(nullptr), context, 3, argv, std::wstring_view(L"C:\\Media\\setup.exe"), L""));
    EXPECT_EQ(setup.GetSession()->OptionTextValue(), L" /s /v\"/qn\" /f1\"\\\"C:\\Media\\Setup.ovs\\\"\"");
}

TEST_F(UserOptionsTest, InvalidCommandLineSetsResult1203)
{
    const wchar_t* argv[] = {L"setup.exe", L"/s", L"foo"};
    SetupContext context(::GetModuleHandleW(nullptr), L"C:\\Media\\setup.exe");
    Process().SetupResult = 0;
    OvSetup setup;
    EXPECT_FALSE(setup.Init(::GetModuleHandleW(nullptr), context, 3, argv, std::nullopt, L""));
    EXPECT_EQ(Process().SetupResult, 1203);
}

// The resume logic leaves one-shot values under HKLM; the option reads and
// deletes them.
TEST_F(UserOptionsTest, RegistryPlaceholderIsReadOnceAndDeleted)
{
    ov::unique_hkey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion", 0,
                              KEY_SET_VALUE | KEY_QUERY_VALUE, key.put()),
              ERROR_SUCCESS);
    const std::wstring value = L"AFTERREBOOT=1 X=\"a b\"";
    ASSERT_EQ(::RegSetValueExW(key.get(), L"%OV_V%", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);

    ASSERT_TRUE(Parse({L"v%OV_V%"}));
    EXPECT_EQ(session_->Get(CmdLine), value);
    EXPECT_EQ(::RegQueryValueExW(key.get(), L"%OV_V%", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);

    // A second read finds nothing: the value was one-shot.
    SetupContext context(::GetModuleHandleW(nullptr), L"C:\\Media\\setup.exe");
    Session again(::GetModuleHandleW(nullptr), context);
    ASSERT_TRUE(ParseUserOption(again, L"v%OV_V%"));
    EXPECT_EQ(again.Get(CmdLine), L"");
}

TEST_F(UserOptionsTest, InternalOptionsOfStartupCmdLine)
{
    SetupContext context(::GetModuleHandleW(nullptr), L"C:\\Media\\setup.exe");
    const std::wstring rest = context.ParseInternalOptions(
        L"/l0x0407 /ig\"{ABC}\" /s /auto /hide_splash /reboot /package /no_deleter /extract_all:C:\\x /runfromtemp "
        L"/custom1 /f2x");
    EXPECT_EQ(context.Language(), 0x0407);
    EXPECT_EQ(context.InstallGuid(), L"{ABC}");
    EXPECT_TRUE(context.Silent());
    EXPECT_TRUE(context.Automatic());
    EXPECT_EQ(rest, L"/s /auto /reboot /package /custom1 /f2x");
}

TEST_F(UserOptionsTest, BuiltinStringsAndWindowTitle)
{
    SetupContext context(::GetModuleHandleW(nullptr), L"C:\\Media\\setup.exe");
    EXPECT_EQ(context.LoadString(1203), L"Command line parameters:");
    EXPECT_EQ(context.LoadString(1813), L"&OK");
    EXPECT_EQ(context.WindowTitle(), L"Orvane Wizard");
    context.SetProductName(L"Demo");
    EXPECT_EQ(context.WindowTitle(), L"Demo - Orvane Wizard");
    EXPECT_EQ(context.WindowTitle(true), L"Orvane Wizard");
}

} // namespace
