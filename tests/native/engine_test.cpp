// The engine decisions over plain facts: the check's table, the choice of
// redistributable, its command and the meaning of its exit code.
#include "enginecheck.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

OsRecord nt(std::uint32_t major, std::uint32_t minor)
{
    return MakeOsRecord(kPlatformNt, major, minor, 2600, 0);
}
OsRecord win9x(std::uint32_t minor)
{
    return MakeOsRecord(kPlatformWindows, 4, minor, 2222, 0);
}

struct CheckCase {
    const char* name;
    std::wstring installed;
    std::wstring required;
    OsRecord os;
    bool is64 = false;
    std::uint32_t servicePack = 0;
    std::set<std::wstring> listed; // lists the system matches
    bool admin = true;
    bool tempSpace = true;
    bool windowsSpace = true;
    bool suppress = false;
    // Expected:
    int result;
    int message;
    std::wstring list;
    // The queries in the order asked, e.g. "list:SupportOS admin temp windows".
    std::wstring queries;
};

std::vector<CheckCase> check_cases()
{
    const std::set<std::wstring> none;
    const std::set<std::wstring> all = {L"SupportOS", L"SupportOSMsi12", L"SupportOSMsi30"};
    const std::set<std::wstring> os = {L"SupportOS"};
    const std::set<std::wstring> msi12 = {L"SupportOSMsi12"};
    const std::set<std::wstring> msi30 = {L"SupportOSMsi30"};
    return {
        // Step 1: the present engine will do; nothing else is asked.
        {"installed newer than required", L"3.1.4000.2435", L"3.1.4000.0", nt(5, 1), false, 2, all, true, true, true,
         false, EngineUpToDate, 0, L"", L""},
        {"installed equal to required", L"2.0.2600.0", L"2.0.2600", nt(5, 0), false, 0, all, true, true, true, false,
         EngineUpToDate, 0, L"", L""},
        {"no setting required", L"", L"", nt(5, 0), false, 0, all, true, true, true, false, EngineUpToDate, 0, L"",
         L""},
        // Step 2: 3.x engines.
        {"3.1 on 64-bit Windows", L"2.0.2600.2", L"3.1", nt(5, 2), true, 0, all, true, true, true, false, EngineKept, 0,
         L"", L""},
        {"3.1 on Server 2003 SP1", L"2.0.3790.0", L"3.1", nt(5, 2), false, 1, all, true, true, true, false, EngineKept,
         0, L"", L""},
        {"3.1 on Server 2003 without SP", L"2.0.3790.0", L"3.1", nt(5, 2), false, 0, all, true, true, true, false,
         EngineInstall, 0, L"SupportOSMsi30", L"list:SupportOSMsi30 admin temp windows"},
        {"3.1 on XP SP2 listed", L"2.0.2600.2", L"3.1.4000.0", nt(5, 1), false, 2, all, true, true, true, false,
         EngineInstall, 0, L"SupportOSMsi30", L"list:SupportOSMsi30 admin temp windows"},
        {"3.1 on Vista SP1 (6.x, not the 5.x rule)", L"2.0", L"4.5", nt(6, 0), false, 1, all, true, true, true, false,
         EngineInstall, 0, L"SupportOSMsi30", L"list:SupportOSMsi30 admin temp windows"},
        {"3.1 on XP not listed", L"2.0.2600.2", L"3.1", nt(5, 1), false, 2, none, true, true, true, true,
         EngineUnsupportedSystem, 1651, L"SupportOSMsi30", L"list:SupportOSMsi30"},
        {"2.9.0.0 is a 3.x engine", L"2.0", L"2.9.0.0", nt(5, 0), false, 4, msi30, true, true, true, false,
         EngineInstall, 0, L"SupportOSMsi30", L"list:SupportOSMsi30 admin temp windows"},
        // The list below 3.x.
        {"2.8.9999 uses SupportOS", L"1.1", L"2.8.9999", nt(5, 0), false, 4, os, true, true, true, false, EngineInstall,
         0, L"SupportOS", L"list:SupportOS admin temp windows"},
        {"1.20.1827.0 uses SupportOSMsi12", L"1.0", L"1.20.1827.0", nt(4, 0), false, 6, msi12, true, true, true, false,
         EngineInstall, 0, L"SupportOSMsi12", L"list:SupportOSMsi12 admin temp windows"},
        {"1.20.1827.1 uses SupportOS", L"1.0", L"1.20.1827.1", nt(4, 0), false, 6, msi12, true, true, true, false,
         EngineUnsupportedSystem, 1150, L"SupportOS", L"list:SupportOS"},
        // Step 3: listed systems.
        {"2.0 listed, not an administrator", L"1.1", L"2.0.2600.0", nt(5, 0), false, 4, all, false, true, true, false,
         EngineNotAdministrator, 1202, L"SupportOS", L"list:SupportOS admin"},
        {"listed, temporary disk full", L"1.1", L"2.0", nt(5, 0), false, 4, all, true, false, true, false,
         EngineNoDiskSpace, 1201, L"SupportOS", L"list:SupportOS admin temp"},
        {"listed, Windows disk full", L"1.1", L"2.0", nt(5, 0), false, 4, all, true, true, false, false,
         EngineNoDiskSpace, 1201, L"SupportOS", L"list:SupportOS admin temp windows"},
        {"Windows 98 listed: no rights or disk checks", L"1.1", L"2.0", win9x(10), false, 0, os, false, false, false,
         false, EngineInstall, 0, L"SupportOS", L"list:SupportOS"},
        {"Windows Me with a 3.x engine listed", L"2.0", L"3.1", win9x(90), false, 0, msi30, false, false, false, false,
         EngineInstall, 0, L"SupportOSMsi30", L"list:SupportOSMsi30"},
        // Step 4: NT 4 or a 3.x engine that the system cannot take.
        {"NT 4 not listed, 2.0", L"1.1", L"2.0", nt(4, 0), false, 6, none, true, true, true, false,
         EngineUnsupportedSystem, 1150, L"SupportOS", L"list:SupportOS"},
        {"NT 4 not listed, 1.1", L"1.0", L"1.1", nt(4, 0), false, 6, none, true, true, true, true,
         EngineUnsupportedSystem, 1648, L"SupportOSMsi12", L"list:SupportOSMsi12"},
        // Steps 5 and 6: another system, not listed.
        {"2000 not listed", L"1.1", L"2.0", nt(5, 0), false, 4, none, true, true, true, false, EngineKept, 0,
         L"SupportOS", L"list:SupportOS"},
        {"2000 not listed, SuppressWrongOS", L"1.1", L"2.0", nt(5, 0), false, 4, none, true, true, true, true,
         EngineKept, 1207, L"SupportOS", L"list:SupportOS"},
        {"Windows 98 not listed", L"1.1", L"2.0", win9x(10), false, 0, none, true, true, true, false, EngineKept, 0,
         L"SupportOS", L"list:SupportOS"},
    };
}

TEST(EngineCheck, DecisionTable)
{
    for (const CheckCase& c : check_cases()) {
        SCOPED_TRACE(c.name);
        std::wstring asked;
        auto note = [&asked](const std::wstring& what) {
            if (!asked.empty())
                asked += L' ';
            asked += what;
        };
        EngineFacts facts;
        facts.installed = c.installed;
        facts.required = c.required;
        facts.os = c.os;
        facts.is64bitWindows = c.is64;
        facts.servicePackMajor = c.servicePack;
        facts.suppressWrongOs = c.suppress;
        facts.matchList = [&](std::wstring_view list) {
            note(L"list:" + std::wstring(list));
            return c.listed.count(std::wstring(list)) != 0;
        };
        facts.administrator = [&] {
            note(L"admin");
            return c.admin;
        };
        facts.diskHasSpace = [&](EngineDisk disk) {
            note(disk == EngineDisk::Temp ? L"temp" : L"windows");
            return disk == EngineDisk::Temp ? c.tempSpace : c.windowsSpace;
        };
        const EngineDecision d = DecideEngineCheck(facts);
        EXPECT_EQ(d.result, c.result);
        EXPECT_EQ(d.message, c.message);
        EXPECT_EQ(d.list, c.list);
        EXPECT_EQ(asked, c.queries);
        if (c.result == EngineNoDiskSpace) {
            EXPECT_EQ(d.fullDisk, c.tempSpace ? EngineDisk::Windows : EngineDisk::Temp);
        }
    }
}

TEST(EngineCheck, MissingQueriesNeverReadAsPermission)
{
    // A caller that forgot a query must not get an install on a system it
    // could not check.
    EngineFacts facts;
    facts.installed = L"1.1";
    facts.required = L"2.0";
    facts.os = nt(5, 0);
    EXPECT_EQ(DecideEngineCheck(facts).result, EngineKept);
    facts.matchList = [](std::wstring_view) { return true; };
    EXPECT_EQ(DecideEngineCheck(facts).result, EngineNotAdministrator);
    facts.administrator = [] { return true; };
    EXPECT_EQ(DecideEngineCheck(facts).result, EngineNoDiskSpace);
}

TEST(EngineRedistributable, ChoiceBySystemAndVersion)
{
    struct Case {
        std::uint32_t kind;
        std::wstring required;
        std::wstring name;
        std::wstring fallback;
        bool windows9x;
    };
    const Case cases[] = {
        {1, L"2.0", L"INSTMSIA.EXE", L"", true},
        {1, L"3.1", L"INSTMSIA.EXE", L"", true},
        {2, L"1.1", L"INSTMSIW.EXE", L"", false},
        {2, L"2.8.9999.9999", L"INSTMSIW.EXE", L"", false},
        {2, L"2.9.0.0", L"WindowsInstaller-KB893803-x86.exe", L"instmsi30.exe", false},
        {2, L"3.1.4000.2435", L"WindowsInstaller-KB893803-x86.exe", L"instmsi30.exe", false},
        {3, L"2.0", L"", L"", false}, // NT on Alpha: no redistributable
        {7, L"2.0", L"", L"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.kind << " " << std::string(c.required.begin(), c.required.end()));
        const auto r = ChooseEngineRedistributable(c.kind, c.required);
        EXPECT_EQ(r.name, c.name);
        EXPECT_EQ(r.fallback, c.fallback);
        EXPECT_EQ(r.windows9x, c.windows9x);
    }
}

TEST(EngineInstallCommand, FormByRequiredVersion)
{
    const std::wstring path = L"C:\\Users\\A B\\Temp\\{X}\\INSTMSIW.EXE";
    struct Case {
        std::wstring required;
        bool shell;
        std::wstring commandLine;
        std::wstring parameters;
        bool canDefer;
    };
    const Case cases[] = {
        {L"1.1", false, L"\"" + path + L"\" /q", L"", false},
        {L"2.0.2599.65535", false, L"\"" + path + L"\" /q", L"", false},
        {L"2.0.2600.0", false, L"\"" + path + L"\" /c:\"msiinst /delayrebootq\"", L"", true},
        {L"2.8.9999.9999", false, L"\"" + path + L"\" /c:\"msiinst /delayrebootq\"", L"", true},
        {L"2.9.0.0", true, L"", L"/quiet /norestart", true},
        {L"3.1.4000.0", true, L"", L"/quiet /norestart", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.required.begin(), c.required.end()));
        const auto command = MakeEngineInstallCommand(c.required, path);
        EXPECT_EQ(command.shell, c.shell);
        EXPECT_EQ(command.commandLine, c.commandLine);
        EXPECT_EQ(command.file, c.shell ? path : L"");
        EXPECT_EQ(command.parameters, c.parameters);
        EXPECT_EQ(command.canDeferRestart, c.canDefer);
    }
}

TEST(EngineInstallOutcome, ExitCodes)
{
    struct Case {
        int code;
        bool canDefer;
        bool succeeded;
        int restartKind;
        bool location;
    };
    const Case cases[] = {
        {0, false, true, EngineRestartNone, false},
        {0, true, true, EngineRestartNone, false},
        {3010, false, true, EngineRestartFirst, false},
        {3010, true, true, EngineRestartLater, true},
        {1603, true, false, EngineRestartNone, false},
        {1641, true, false, EngineRestartNone, false}, // only 0 and 3010 are relied on
        {-858993460, false, false, EngineRestartNone, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const auto outcome = EvaluateEngineExitCode(c.code, c.canDefer);
        EXPECT_EQ(outcome.succeeded, c.succeeded);
        EXPECT_EQ(outcome.restartKind, c.restartKind);
        EXPECT_EQ(outcome.useInstallerLocation, c.location);
    }
}

TEST(EngineFailureText, CodeWithItsOwnTextOrTheInternalError)
{
    const std::map<unsigned, std::wstring> table = {
        {1156, L"Internal error in Windows Installer"},
        {1202, L"You do not have sufficient privileges"},
        {1203, L"Command line parameters:"},
    };
    std::vector<unsigned> asked;
    auto load = [&](unsigned id) {
        asked.push_back(id);
        const auto it = table.find(id);
        return it == table.end() ? std::wstring() : it->second;
    };
    struct Case {
        int code;
        std::wstring text;
        std::vector<unsigned> asked;
    };
    const Case cases[] = {
        {1603, L"1603: Internal error in Windows Installer", {1603, 1156}},
        {1202, L"1202: You do not have sufficient privileges", {1202}},
        // Not string ids: never looked up, so 0x104B3 cannot alias 1203.
        {0x104B3, L"66739: Internal error in Windows Installer", {1156}},
        {-858993460, L"-858993460: Internal error in Windows Installer", {1156}},
        {-1, L"-1: Internal error in Windows Installer", {1156}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        asked.clear();
        EXPECT_EQ(EngineFailureText(c.code, load), c.text);
        EXPECT_EQ(asked, c.asked);
    }
}

} // namespace
