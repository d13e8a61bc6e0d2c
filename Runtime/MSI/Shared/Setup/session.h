// OvSetup and Session: one ordinary setup run. OvSetup creates the Session,
// lets the command-line parser fill it and runs it. The Session holds what
// the run knows (settings, modes, paths) and runs the install steps in order.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "inifile.h"
#include "optiontext.h"
#include "osmatch.h"
#include "streamprogress.h"

class SetupContext;
class Session;
class STREAM;

// Settings of a run, by id.
enum SettingId : int {
    ProductCode = 1,
    PackageCode = 2,
    ProductVersion = 3,
    EngineVersion = 4,
    PackageName = 5,
    LanguageTransform = 6,
    CmdLine = 7,
    ModeFlags = 8,
    InstMsiAUrl = 9,
    InstMsiWUrl = 10,
    PackageUrl = 11,
    CacheLocation = 12,
    DotNetVersion = 13,
    BillboardType = 19,
};

// Install modes.
enum InstallMode : int {
    ModeInstall = 0,
    ModeAdministrative = 1,
    ModeRepair = 2,
    ModeAdvertise = 3,
    ModeUninstall = 4,
    ModePatch = 5,
};

// One install step. Constructed with the string id that becomes the setup
// dialog's status line; executed once, on the stack.
class Action {
public:
    Action(unsigned titleId, Session& session);
    virtual ~Action() = default;
    [[nodiscard]] virtual bool Execute() = 0;

    [[nodiscard]] int Result() const noexcept { return result_; }

protected:
    Session& session_;
    int result_ = 0;
};

// Run modes.
enum RunMode : int {
    RunPrepareAndInstall = 1,
    RunInstallOnly = 2,
    RunNothing = 3,
};

// Payload modes.
enum PayloadMode : int {
    PayloadEmbedded = 1,
    PayloadBesideLauncher = 2,
};

// The state of a run that the command line and the steps fill in.
struct SessionState {
    int installMode = ModeInstall;
    int upgradeMode = 0;
    bool quietStart = false;
    bool responseFile = false;
    bool sourceFolderSet = false;
    std::wstring sourceFolder;
    bool hideProgress = false;
    int instanceId = -4;
    bool f3 = false;
    bool relaunched = false;
    bool sourceKey = true;
    std::wstring launcherPath;
    std::wstring tempDisk1Folder;
    std::wstring launcherFolder;
    unsigned long long payloadSize = 0;
    int payloadMode = PayloadBesideLauncher;
    int runMode = RunPrepareAndInstall;
    bool splashShown = false;
    int deleterNotNeeded = 0;
    int msiKeep = 0;
    int rebootPending = 0;
    int scheduleReboot = 0;
    bool multipleInstances = false;
    std::wstring logPath;
    unsigned long requiredDiskSpaceKb = 8000;
    // The .NET Framework the package needs (from [Startup] DotNetVersion).
    bool dotNet10 = false;
    bool dotNet11 = false;
    bool dotNet20 = false;
    long dotNetServicePack = -1;
    // The running system as the operating-system check recorded it; its
    // major version is 0 while no check has run.
    OsRecord os;
};

class Session : public IStreamProgress {
public:
    Session(HINSTANCE instance, SetupContext& context);
    virtual ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs the run mode's steps, the restart question, the deleter and the
    // setup.ini dump. Answers 1.
    int Run();

    [[nodiscard]] SetupContext& Context() noexcept { return context_; }
    [[nodiscard]] const SetupContext& Context() const noexcept { return context_; }
    [[nodiscard]] HINSTANCE Instance() const noexcept { return instance_; }
    [[nodiscard]] SessionState& State() noexcept { return state_; }
    [[nodiscard]] const SessionState& State() const noexcept { return state_; }

    // Settings store. Storing an empty text removes the setting unless forced.
    [[nodiscard]] std::wstring Get(int id) const;
    [[nodiscard]] bool Has(int id) const;
    void Set(int id, std::wstring_view text, bool force = false);
    void SetFromIni(int id, std::wstring_view section, std::wstring_view key, std::wstring_view defaultValue);
    void Append(int id, std::wstring_view text, std::wstring_view separator);

    // Values of the current setup.ini.
    [[nodiscard]] std::wstring ReadIniString(std::wstring_view section, std::wstring_view key,
                                             std::wstring_view defaultValue) const;
    [[nodiscard]] long ReadIniInt(std::wstring_view section, std::wstring_view key, long defaultValue,
                                  int base = 10) const;
    // The setup.ini table (trimmed keys, last occurrence wins) of the current
    // setup.ini path; ReloadSetupIni makes the next read load it again.
    [[nodiscard]] const ov::profilefilex& SetupIniTable() const;
    void ReloadSetupIni();

    // The setup.ini getters every step uses. They never fail: a missing file
    // or section gives the default. Values are cut to 1023 characters.
    [[nodiscard]] std::wstring GetSetupIniString(std::wstring_view section, std::wstring_view key,
                                                 std::wstring_view defaultValue);
    [[nodiscard]] unsigned long GetSetupIniInt(std::wstring_view section, std::wstring_view key,
                                               unsigned long defaultValue, int base = 10);
    [[nodiscard]] bool GetSetupIniFlag(std::wstring_view section, std::wstring_view key, bool defaultValue);
    [[nodiscard]] long GetSetupIniNumber(std::wstring_view section, std::wstring_view key, long defaultValue);

    // The payload appended to the launcher's own file.
    [[nodiscard]] STREAM& Payload() noexcept { return *payload_; }
    // Extracts a payload entry to `destination` (default: the temporary
    // folder under the entry's name) and registers it with the deleter.
    // Reports 1152 when asked to and the extraction fails.
    bool ExtractFile(std::wstring_view name, bool reportError, bool force, std::optional<std::wstring_view> destination,
                     bool registerForDeletion);
    bool ExtractSetupIni();
    bool ExtractLanguageFiles();
    bool ExtractLanguageTransform();
    // Every payload entry into the temporary folder (patch installations).
    bool ExtractAllEntries();
    // False (with 1152 reported for the first entry whose data is missing)
    // when the launcher's file ends before its payload does.
    bool CheckPayloadComplete();

    // Records an option for the script engine's command line.
    void AddOption(std::optional<std::wstring_view> name, std::optional<std::wstring_view> value = std::nullopt,
                   bool forceQuote = false);
    [[nodiscard]] const std::wstring& OptionTextValue() const noexcept { return options_.Text(); }
    [[nodiscard]] const std::wstring& EngineCommandLine() const noexcept { return options_.EngineCommandLine(); }

    void SetScheduleReboot(bool flag);
    void SetSourceFolder(std::wstring_view path);
    void SetTempDisk1Folder(std::wstring_view path);
    void SetStatusText(unsigned titleId);
    // A status line that is not a plain string id (a download's progress text).
    void SetStatusMessage(const std::wstring& text);
    // 6 (Yes) to restart now, 5 when a restart is scheduled, 1 otherwise.
    int RebootPrompt();

    [[nodiscard]] std::wstring ProductCodeValue() const { return Get(ProductCode); }
    [[nodiscard]] std::wstring PackageCodeValue() const { return Get(PackageCode); }
    [[nodiscard]] std::wstring ProductVersionValue() const { return Get(ProductVersion); }

    bool OnProgress(unsigned long long done, unsigned long long total) override;
    void OnStatus(int kind, std::wstring_view name) override;

private:
    bool Prepare();
    bool Install();
    void DumpSetupIni();
    [[nodiscard]] std::uint16_t InstalledProductLanguage() const;
    bool SelectLanguageTransform();

    HINSTANCE instance_;
    SetupContext& context_;
    SessionState state_;
    std::map<int, std::wstring> settings_;
    OptionText options_;
    std::unique_ptr<STREAM> payload_;
    mutable ov::profilefilex setupIni_;
    mutable ov::inifilex setupIniDocument_;
    mutable std::wstring setupIniPath_;
    mutable bool setupIniLoaded_ = false;
};

class OvSetup {
public:
    OvSetup() = default;
    virtual ~OvSetup();
    OvSetup(const OvSetup&) = delete;
    OvSetup& operator=(const OvSetup&) = delete;

    // Creates the session and parses the user options into it. False (with
    // SetupResult 1203) when the command line is invalid.
    bool Init(HINSTANCE instance, SetupContext& context, int argc, const wchar_t* const* argv,
              std::optional<std::wstring_view> sourceLauncherPath, std::wstring_view logPath);
    int Run();

    [[nodiscard]] Session* GetSession() noexcept { return session_.get(); }

private:
    HINSTANCE instance_ = nullptr;
    std::unique_ptr<Session> session_;
};
