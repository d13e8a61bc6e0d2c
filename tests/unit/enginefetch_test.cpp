// FetchEngine with the real file retrieval: redistributables beside the
// launcher (location type 0) under their real names.
#include "engine_test_support.h"

#include "engine.h"
#include "fileretrieval.h"
#include "osaction.h"
#include "processstate.h"
#include "session.h"
#include "setupcontext.h"
#include "setupdialoglink.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using engine_test::DialogWatch;
using engine_test::ScratchFolder;

// What the engine fetch told the setup dialog.
namespace dialog {
std::vector<std::wstring> events;
void download_mode(bool on) noexcept
{
    events.push_back(on ? L"download on" : L"download off");
}
void close() noexcept
{
    events.push_back(L"close");
}
} // namespace dialog

class FetchEngineTest : public ::testing::Test {
protected:
    FetchEngineTest() : media_(L"fetchmedia"), temp_(L"fetchtemp") {}

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
        dialog::events.clear();
        SetupDialogLink link;
        link.download_mode = &dialog::download_mode;
        link.close = &dialog::close;
        SetSetupDialogLink(link);
    }

    void TearDown() override
    {
        SetSetupDialogLink({});
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

    // Runs FetchEngine, reading and closing the dialogs it shows.
    bool Fetch(std::wstring& path, int& location, std::vector<std::wstring>* shown = nullptr)
    {
        DialogWatch watch;
        const bool ok = FetchEngine(*session_, path, location);
        ::Sleep(200);
        if (shown)
            *shown = watch.texts();
        return ok;
    }

    ScratchFolder media_;
    ScratchFolder temp_;
    std::unique_ptr<SetupContext> context_;
    std::unique_ptr<Session> session_;
};

TEST_F(FetchEngineTest, FirstChoiceForEachSystemAndVersion)
{
    struct Case {
        OsRecord os;
        const wchar_t* required;
        const wchar_t* name;
        std::vector<std::wstring> events;
    };
    const Case cases[] = {
        {MakeOsRecord(kPlatformNt, 5, 1, 2600, 0), L"2.0.2600.0", L"INSTMSIW.EXE", {L"download on", L"download off"}},
        {MakeOsRecord(kPlatformNt, 5, 1, 2600, 0),
         L"3.1.4000.0",
         L"WindowsInstaller-KB893803-x86.exe",
         {L"download on", L"download off"}},
        // Windows 9x: no download-mode message.
        {MakeOsRecord(kPlatformWindows, 4, 10, 2222, 0), L"2.0", L"INSTMSIA.EXE", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(engine_test::narrow(c.name));
        ScratchFolder media(L"first");
        session_->SetTempDisk1Folder(media.path());
        // Every redistributable is there: only the right one may be taken.
        for (const wchar_t* name :
             {L"INSTMSIA.EXE", L"INSTMSIW.EXE", L"WindowsInstaller-KB893803-x86.exe", L"instmsi30.exe"})
            media.add_redistributable(name);
        session_->State().os = c.os;
        session_->Set(EngineVersion, c.required);
        dialog::events.clear();
        std::wstring path;
        int location = -1;
        std::vector<std::wstring> shown;
        EXPECT_TRUE(Fetch(path, location, &shown));
        EXPECT_EQ(path, media.at(c.name));
        EXPECT_EQ(location, LocationSource);
        EXPECT_EQ(Process().SetupResult, 0);
        EXPECT_EQ(dialog::events, c.events);
        EXPECT_TRUE(shown.empty());
        session_->SetTempDisk1Folder(media_.path());
    }
}

TEST_F(FetchEngineTest, ThreeXEngineFallsBackToInstmsi30)
{
    media_.add_redistributable(L"instmsi30.exe");
    session_->Set(EngineVersion, L"3.1");
    context_->SetSilent(false);
    Process().SetupResult = 0;
    std::wstring path;
    int location = -1;
    std::vector<std::wstring> shown;
    EXPECT_TRUE(Fetch(path, location, &shown));
    EXPECT_EQ(path, media_.at(L"instmsi30.exe"));
    // The failed first choice is neither shown nor left as the result.
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(Process().SetupResult, 0);
    EXPECT_EQ(dialog::events, (std::vector<std::wstring>{L"download on", L"download off"}));
}

TEST_F(FetchEngineTest, AddressFromTheCommandLineReplacesTheFirstChoice)
{
    // Both files are beside the launcher, but /uw names an address that
    // cannot be reached: the first choice must come from there, so the
    // 3.0 redistributable is taken.
    media_.add_redistributable(L"WindowsInstaller-KB893803-x86.exe");
    media_.add_redistributable(L"instmsi30.exe");
    session_->Set(EngineVersion, L"3.1");
    session_->Set(InstMsiWUrl, L"http://127.0.0.1:1/WindowsInstaller-KB893803-x86.exe");
    std::wstring path;
    int location = -1;
    EXPECT_TRUE(Fetch(path, location));
    EXPECT_EQ(path, media_.at(L"instmsi30.exe"));
    EXPECT_EQ(location, LocationSource);
}

TEST_F(FetchEngineTest, NothingToGetFailsWith1154AndClosesTheDialog)
{
    struct Case {
        OsRecord os;
        const wchar_t* required;
        std::wstring message; // interactive
    };
    const Case cases[] = {
        // The 3.0 retrieval shows its own error.
        {MakeOsRecord(kPlatformNt, 5, 1, 2600, 0), L"3.1", L"File " + media_.at(L"instmsi30.exe") + L" not found"},
        // No second choice: the setup says why it ends.
        {MakeOsRecord(kPlatformNt, 5, 1, 2600, 0), L"2.0", L"Installer not found in " + media_.at(L"INSTMSIW.EXE")},
        {MakeOsRecord(kPlatformWindows, 4, 10, 2222, 0), L"2.0", L"File " + media_.at(L"INSTMSIA.EXE") + L" not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(engine_test::narrow(c.message));
        session_->State().os = c.os;
        session_->Set(EngineVersion, c.required);
        for (const bool silent : {true, false}) {
            context_->SetSilent(silent);
            Process().SetupResult = 0;
            dialog::events.clear();
            std::wstring path = L"unchanged";
            int location = -1;
            std::vector<std::wstring> shown;
            EXPECT_FALSE(Fetch(path, location, &shown));
            EXPECT_EQ(Process().SetupResult, 1154);
            EXPECT_EQ(path, L"unchanged");
            ASSERT_FALSE(dialog::events.empty());
            EXPECT_EQ(dialog::events.back(), L"close");
            if (silent) {
                EXPECT_TRUE(shown.empty());
            } else {
                EXPECT_EQ(shown, std::vector<std::wstring>{c.message});
            }
        }
    }
}

TEST_F(FetchEngineTest, RetrievalThatAnswersAMissingFileIsCaught)
{
    // With [Startup] Source=0 the retrieval does not look for the file.
    UseSetupIni("[Startup]\r\nSource=0\r\n");
    session_->State().sourceKey = false;
    session_->Set(EngineVersion, L"2.0");
    context_->SetSilent(false);
    std::wstring path;
    int location = -1;
    std::vector<std::wstring> shown;
    EXPECT_FALSE(Fetch(path, location, &shown));
    EXPECT_EQ(Process().SetupResult, 1154);
    EXPECT_EQ(shown, std::vector<std::wstring>{L"Installer not found in " + media_.at(L"INSTMSIW.EXE")});
}

TEST_F(FetchEngineTest, SystemWithoutARedistributableFails)
{
    session_->State().os = MakeOsRecord(kPlatformNt, 4, 0, 1381, 2); // NT 4 on Alpha
    session_->Set(EngineVersion, L"2.0");
    std::wstring path;
    int location = -1;
    EXPECT_FALSE(Fetch(path, location));
    EXPECT_EQ(Process().SetupResult, 1154);
    EXPECT_EQ(dialog::events, std::vector<std::wstring>{L"close"});
}

} // namespace
