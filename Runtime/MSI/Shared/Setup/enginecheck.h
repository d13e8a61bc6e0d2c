// The Windows Installer engine decisions: whether the engine on the machine
// will do or may be replaced here, which redistributable replaces it, how it
// is started and what its exit code means. Pure logic: the Windows layer
// (engine.h) supplies what it learnt from the system and does the reporting.
#pragma once

#include "osmatch.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Engine versions at which the decisions change.
// At or below it, the system list is SupportOSMsi12 (the NT 4 era engines).
inline constexpr wchar_t kEngineMsi12Limit[] = L"1.20.1827.0";
// From it on, the redistributable can leave the restart for later.
inline constexpr wchar_t kEngineDeferredRestart[] = L"2.0.2600.0";
// From it on, the engine is a 3.x engine with its own list and redistributable.
inline constexpr wchar_t kEngine3[] = L"2.9.0.0";

// The system lists of setup.ini that say where an engine may be installed.
inline constexpr wchar_t kEngineListMsi12[] = L"SupportOSMsi12";
inline constexpr wchar_t kEngineList[] = L"SupportOS";
inline constexpr wchar_t kEngineListMsi30[] = L"SupportOSMsi30";

// The redistributables.
inline constexpr wchar_t kEngineRedistWindows9x[] = L"INSTMSIA.EXE";
inline constexpr wchar_t kEngineRedistNt[] = L"INSTMSIW.EXE";
inline constexpr wchar_t kEngineRedist3[] = L"WindowsInstaller-KB893803-x86.exe";
inline constexpr wchar_t kEngineRedist30[] = L"instmsi30.exe";

// Answers of CheckEngine. Positive answers end the preparation.
enum EngineCheckResult : int {
    EngineUpToDate = -2,         // the installed engine is at least the required one
    EngineKept = -1,             // not replaced here; the installation goes on with it
    EngineInstall = 0,           // fetch and run the redistributable
    EngineNotAdministrator = 1,  // message 1202
    EngineNoDiskSpace = 2,       // message 1201
    EngineUnsupportedSystem = 3, // message 1648, 1651 or 1150
};

// Restart kinds after an engine install, as the restart logic counts them.
enum EngineRestartKind : int {
    EngineRestartNone = 0,
    EngineRestartFirst = 1, // a restart must come before the installation
    EngineRestartLater = 2, // the restart may wait until the installation has ended
};

// The disks whose free space an engine install needs, in the order checked.
enum class EngineDisk { Temp, Windows };

// Message ids the engine steps report (the string-table ids and results).
inline constexpr int kEngineMessageInternalError = 1156;
inline constexpr int kEngineMessageNotFound = 1154;
inline constexpr int kEngineMessageDiskSpace = 1201;
inline constexpr int kEngineMessageNotAdministrator = 1202;
inline constexpr int kEngineMessageOlderEngine = 1207;

// Exit codes of a redistributable that count as success.
inline constexpr int kEngineExitSuccess = 0;
inline constexpr int kEngineExitRestartRequired = 3010;

// `a` is at least `b` as CompareVersions reads them.
[[nodiscard]] bool VersionAtLeast(std::wstring_view a, std::wstring_view b) noexcept;

// What the engine check knows about the machine. The queries are asked only
// when the decision gets to them, in the order matchList, administrator,
// diskHasSpace (temporary folder first, then the Windows folder).
struct EngineFacts {
    std::wstring installed; // file version of Msi.DLL; empty when unknown
    std::wstring required;  // the setting EngineVersion
    OsRecord os;
    bool is64bitWindows = false;
    std::uint32_t servicePackMajor = 0;
    bool suppressWrongOs = false; // [Startup] SuppressWrongOS
    std::function<bool(std::wstring_view list)> matchList;
    std::function<bool()> administrator;
    std::function<bool(EngineDisk disk)> diskHasSpace;
};

struct EngineDecision {
    int result = EngineUpToDate;
    // The message to report and the SetupResult to set; 0 for none. 1207
    // comes with EngineKept (SuppressWrongOS), the others with the positive
    // results.
    int message = 0;
    // The system list consulted; empty when the decision came before it.
    std::wstring list;
    // With EngineNoDiskSpace: the disk that has too little space.
    EngineDisk fullDisk = EngineDisk::Temp;
};

[[nodiscard]] EngineDecision DecideEngineCheck(const EngineFacts& facts);

// The redistributable for a system kind (OsRecord::kind) and required engine.
struct EngineRedistributable {
    std::wstring name;     // empty: no redistributable fits this system
    std::wstring fallback; // tried when `name` cannot be got; empty when none
    // Windows 9x: the address comes from InstMsiAUrl (else InstMsiWUrl) and
    // the first retrieval already shows its errors.
    bool windows9x = false;
};

[[nodiscard]] EngineRedistributable ChooseEngineRedistributable(std::uint32_t kind, std::wstring_view required);

// How a redistributable at `path` is started for a required engine version.
struct EngineInstallCommand {
    // Through the shell (ShellLaunchAndWait with file and parameters) rather
    // than LaunchAndWait with the command line.
    bool shell = false;
    std::wstring commandLine;
    std::wstring file;
    std::wstring parameters;
    bool canDeferRestart = false;
};

[[nodiscard]] EngineInstallCommand MakeEngineInstallCommand(std::wstring_view required, std::wstring_view path);

// What a redistributable's exit code means.
struct EngineInstallOutcome {
    bool succeeded = false;
    int restartKind = EngineRestartNone;
    // The new engine's folder must become the current directory, so that its
    // MSIEXEC.EXE is found before the old one.
    bool useInstallerLocation = false;
};

[[nodiscard]] EngineInstallOutcome EvaluateEngineExitCode(int exitCode, bool canDeferRestart) noexcept;

// The text shown for a failing redistributable: "<code>: <text>" with the
// text of the message whose id is the code, or of message 1156 when there is
// none. Only codes that can be string ids (1 to 65535) are looked up.
[[nodiscard]] std::wstring EngineFailureText(int exitCode, const std::function<std::wstring(unsigned id)>& loadString);
