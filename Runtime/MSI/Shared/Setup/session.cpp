#include "session.h"

#include "commandline.h"
#include "deleteaction.h"
#include "errordialog.h"
#include "exitcodes.h"
#include "inifile.h"
#include "ov_format.h"
#include "ov_string.h"
#include "paths.h"
#include "processstate.h"
#include "resource.h"
#include "setupcontext.h"
#include "setuplog.h"
#include "useroptions.h"
#include "versions.h"

namespace {

constexpr wchar_t kSetupIniName[] = L"Setup.INI";

// Engine versions that mark the oldest and the newest incompatible-Windows texts.
constexpr wchar_t kEngineVersionWin95Nt4Sp3[] = L"1.20.1827.0";
constexpr wchar_t kEngineVersionWin2000Sp3[] = L"2.9.0.0";

constexpr int kAnswerYes = IDYES;
constexpr int kAnswerScheduled = 5;
constexpr int kAnswerNone = 1;

} // namespace

// ---------------------------------------------------------------------------
// Action

Action::Action(unsigned titleId, Session& session) : session_(session) { session_.SetStatusText(titleId); }

// ---------------------------------------------------------------------------
// Session

Session::Session(HINSTANCE instance, SetupContext& context) : instance_(instance), context_(context)
{
    wchar_t path[1024] = {};
    const DWORD n = ::GetModuleFileNameW(instance, path, 1024);
    state_.launcherPath = (n > 0 && n < 1024) ? path : context.LauncherPath();
    state_.launcherFolder = ov::path::folder_of(state_.launcherPath);
}

Session::~Session() = default;

std::wstring Session::Get(int id) const
{
    const auto it = settings_.find(id);
    return it == settings_.end() ? std::wstring() : it->second;
}

bool Session::Has(int id) const { return settings_.count(id) != 0; }

void Session::Set(int id, std::wstring_view text, bool force)
{
    if (text.empty() && !force)
        settings_.erase(id);
    else
        settings_[id] = std::wstring(text);
}

void Session::SetFromIni(int id, std::wstring_view section, std::wstring_view key, std::wstring_view defaultValue)
{
    Set(id, ReadIniString(section, key, defaultValue));
}

void Session::Append(int id, std::wstring_view text, std::wstring_view separator)
{
    std::wstring value = Get(id);
    if (!value.empty())
        value.append(separator);
    value.append(text);
    Set(id, value);
}

std::wstring Session::ReadIniString(std::wstring_view section, std::wstring_view key,
                                    std::wstring_view defaultValue) const
{
    const std::wstring& path = Process().SetupIniPath;
    if (path.empty())
        return std::wstring(defaultValue);
    return ov::read_ini_string(path, section, key, defaultValue);
}

long Session::ReadIniInt(std::wstring_view section, std::wstring_view key, long defaultValue, int base) const
{
    const std::wstring text = ReadIniString(section, key, L"");
    if (text.empty())
        return defaultValue;
    return ov::parse_long(text, base);
}

void Session::AddOption(std::optional<std::wstring_view> name, std::optional<std::wstring_view> value, bool forceQuote)
{
    const bool embeddedUi = ReadIniInt(L"Startup", L"ScriptDriven", 0) == 3;
    options_.Add(name, value, forceQuote, embeddedUi);
}

void Session::SetScheduleReboot(bool flag)
{
    if (flag && !state_.scheduleReboot) {
        Append(CmdLine, L"OVSCHEDULEREBOOT=1", L" ");
        AddOption(std::wstring_view(L"/v"), std::wstring_view(L"OVSCHEDULEREBOOT=1"), true);
    }
    state_.scheduleReboot = flag ? 1 : 0;
}

void Session::SetSourceFolder(std::wstring_view path)
{
    std::wstring folder(path);
    if (!ov::path::is_absolute(folder)) {
        const std::wstring& base = state_.tempDisk1Folder.empty() ? state_.launcherFolder : state_.tempDisk1Folder;
        folder = ov::path::join(base, folder);
    }
    state_.sourceFolder = folder;
    state_.sourceFolderSet = true;
    Process().SetupIniPath = ov::path::join(folder, kSetupIniName);
}

void Session::SetTempDisk1Folder(std::wstring_view path)
{
    state_.tempDisk1Folder.assign(path);
    Process().TempDisk1Folder.assign(path);
    if (!state_.sourceFolderSet)
        SetSourceFolder(path);
}

void Session::SetStatusText(unsigned titleId)
{
    // The setup dialog shows the step's title; without a dialog there is
    // nothing to update.
    (void)titleId;
}

int Session::RebootPrompt()
{
    if (!state_.rebootPending)
        return state_.scheduleReboot ? kAnswerScheduled : kAnswerNone;
    state_.rebootPending = 0;
    return context_.Ask(nullptr, context_.LoadString(IDS_RESTART_QUESTION), MB_YESNO | MB_ICONQUESTION, kAnswerYes);
}

bool Session::OnProgress(unsigned long long done, unsigned long long total)
{
    const unsigned long long percent = (done == 0 || total < 100) ? 0 : done / (total / 100);
    (void)percent;
    return Process().Cancelled.load();
}

void Session::OnStatus(int kind, std::wstring_view name)
{
    const std::wstring word = kind == 0 ? context_.LoadString(IDS_EXTRACTING)
                                        : (kind == 1 ? context_.LoadString(IDS_DECOMPRESSING) : std::wstring());
    const std::wstring text = ov::format(L"%s: %s", word, name);
    (void)text;
}

int Session::Run()
{
    switch (state_.runMode) {
    case RunPrepareAndInstall:
        if (Prepare())
            Install();
        break;
    case RunInstallOnly:
    case RunNothing:
    default:
        break;
    }

    const int answer = RebootPrompt();
    if (state_.deleterNotNeeded == 0 && state_.msiKeep == 0) {
        DeleteAction deleter;
        (void)deleter.RunDeleter(instance_);
    }
    if (answer == kAnswerYes) {
        // The restart itself belongs to the reboot logic; until it is
        // installed the request is only logged.
        log_message(OV_HERE, L"Restart requested");
    }
    DumpSetupIni();
    return 1;
}

bool Session::Prepare()
{
    if (Process().Cancelled)
        return false;

    state_.sourceKey = ReadIniInt(L"Startup", L"Source", 1) != 0;

    const std::wstring& source = state_.sourceFolder.empty() ? state_.launcherFolder : state_.sourceFolder;
    Process().SetupIniPath = ov::path::join(source, kSetupIniName);

    if (context_.ShowRebootMessage()) {
        const int pending = state_.rebootPending;
        state_.rebootPending = 1;
        (void)RebootPrompt();
        state_.rebootPending = pending;
    }
    return true;
}

bool Session::Install()
{
    const std::uint16_t language = context_.Language();
    wchar_t codePage[16] = {};
    ::GetLocaleInfoW(MAKELCID(language, SORT_DEFAULT), LOCALE_IDEFAULTANSICODEPAGE, codePage, 16);
    log_message(OV_HERE, L"Default language: %d, got code page %d", static_cast<int>(language),
                static_cast<int>(ov::parse_long(codePage, 10)));

    if (language != 0 && !::IsValidLocale(MAKELCID(language, SORT_DEFAULT), LCID_INSTALLED)) {
        Process().SetupResult = exit_code::no_code_page;
        ErrorDialog(context_).show_error_text(ov::format(context_.LoadString(IDS_NO_CODE_PAGE), std::to_wstring(language)));
        return false;
    }

    // The operating-system check records the system's major version; without
    // it the system counts as incompatible.
    if (state_.osMajorVersion == 0) {
        const std::wstring engine = Get(EngineVersion);
        unsigned id = IDS_INCOMPATIBLE_WINDOWS_SP6;
        if (CompareVersions(engine, kEngineVersionWin95Nt4Sp3) >= 0)
            id = IDS_INCOMPATIBLE_WINDOWS_SP3;
        else if (CompareVersions(engine, kEngineVersionWin2000Sp3) <= 0)
            id = IDS_INCOMPATIBLE_WINDOWS_2000;
        Process().SetupResult = static_cast<int>(id);
        ErrorDialog(context_).show_message(id);
        return false;
    }
    return true;
}

void Session::DumpSetupIni()
{
    if (!ov::log::is_enabled())
        return;
    log_message(OV_HERE, L"Dumping setup.ini...");
    const std::wstring& path = Process().SetupIniPath;
    if (path.empty())
        return;
    ov::profilefilex table;
    if (!ov::load_profile_file(table, path))
        return;
    for (const auto& section : table.section_names()) {
        log_message(OV_HERE, L"Section: %s", section);
        for (const auto& [key, value] : table.entries(section))
            log_message(OV_HERE, L"%s=%s", key, value);
    }
}

// ---------------------------------------------------------------------------
// OvSetup

OvSetup::~OvSetup() = default;

bool OvSetup::Init(HINSTANCE instance, SetupContext& context, int argc, const wchar_t* const* argv,
                   std::optional<std::wstring_view> sourceLauncherPath, std::wstring_view logPath)
{
    instance_ = instance;
    session_ = std::make_unique<Session>(instance, context);
    auto& state = session_->State();
    if (!logPath.empty())
        state.logPath.assign(logPath);
    if (sourceLauncherPath && !sourceLauncherPath->empty()) {
        state.launcherPath.assign(*sourceLauncherPath);
        state.launcherFolder = ov::path::folder_of(state.launcherPath);
    }

    CommandLineInfo info(argc, argv);
    if (!info.ParseAll(&ParseUserOptionCallback, session_.get(), &ShowUsageCallback)) {
        Process().SetupResult = exit_code::invalid_command_line;
        return false;
    }

    if (context.Silent() && !state.responseFile) {
        const std::wstring responseFile = L"\"" + ov::path::join(state.launcherFolder, L"Setup.ovs") + L"\"";
        session_->AddOption(std::wstring_view(L"/f1"), std::wstring_view(responseFile), false);
    }
    return true;
}

int OvSetup::Run() { return session_ ? session_->Run() : 1; }
