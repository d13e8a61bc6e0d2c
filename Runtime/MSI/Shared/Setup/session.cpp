#include "session.h"

#include "commandline.h"
#include "diskaction.h"
#include "deleteaction.h"
#include "errordialog.h"
#include "exitcodes.h"
#include "inifile.h"
#include "msiaction.h"
#include "ov_msi.h"
#include "osaction.h"
#include "ov_format.h"
#include "ov_string.h"
#include "paths.h"
#include "processstate.h"
#include "resource.h"
#include "setupcontext.h"
#include "setuplog.h"
#include "stream.h"
#include "useroptions.h"
#include "versions.h"

#include <cwchar>

namespace {

constexpr wchar_t kSetupIniName[] = L"Setup.INI";

constexpr int kAnswerYes = IDYES;
constexpr int kAnswerScheduled = 5;
constexpr int kAnswerNone = 1;

} // namespace

// ---------------------------------------------------------------------------
// Action

Action::Action(unsigned titleId, Session& session) : session_(session)
{
    session_.SetStatusText(titleId);
}

// ---------------------------------------------------------------------------
// Session

Session::Session(HINSTANCE instance, SetupContext& context) : instance_(instance), context_(context)
{
    wchar_t path[1024] = {};
    const DWORD n = ::GetModuleFileNameW(instance, path, 1024);
    state_.launcherPath = (n > 0 && n < 1024) ? path : context.LauncherPath();
    state_.launcherFolder = ov::path::folder_of(state_.launcherPath);
    payload_ = std::make_unique<STREAM>(state_.launcherPath);
}

Session::~Session() = default;

std::wstring Session::Get(int id) const
{
    const auto it = settings_.find(id);
    return it == settings_.end() ? std::wstring() : it->second;
}

bool Session::Has(int id) const
{
    return settings_.count(id) != 0;
}

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

const ov::profilefilex& Session::SetupIniTable() const
{
    // The table follows the setup.ini in use: a new path (the payload's copy,
    // a relaunch's source folder) is read on first use.
    const std::wstring& path = Process().SetupIniPath;
    if (!setupIniLoaded_ || setupIniPath_ != path) {
        setupIni_.clear();
        setupIniDocument_.clear();
        if (!path.empty()) {
            (void)setupIni_.load(path);
            // The same file in file order, for the dump at the end of the run
            // (by then the deleter has removed the file).
            (void)setupIniDocument_.load(path);
        }
        setupIniPath_ = path;
        setupIniLoaded_ = true;
    }
    return setupIni_;
}

void Session::ReloadSetupIni()
{
    setupIniLoaded_ = false;
}

std::wstring Session::ReadIniString(std::wstring_view section, std::wstring_view key,
                                    std::wstring_view defaultValue) const
{
    const std::wstring sectionText(section), keyText(key), defaultText(defaultValue);
    std::wstring buffer(1024, L'\0');
    if (!SetupIniTable().get_string(sectionText.c_str(), keyText.c_str(), defaultText.c_str(), buffer.data(),
                                    buffer.size()))
        return defaultText;
    buffer.resize(std::wcslen(buffer.c_str()));
    return buffer;
}

long Session::ReadIniInt(std::wstring_view section, std::wstring_view key, long defaultValue, int base) const
{
    const std::wstring text = ReadIniString(section, key, L"");
    if (text.empty())
        return defaultValue;
    return ov::parse_long(text, base);
}

std::wstring Session::GetSetupIniString(std::wstring_view section, std::wstring_view key,
                                        std::wstring_view defaultValue)
{
    if (Process().SetupIniPath.empty()) {
        DiskAction action(IDS_CONFIGURING, *this);
        if (!action.Execute())
            return {};
    }
    return ReadIniString(section, key, defaultValue);
}

unsigned long Session::GetSetupIniInt(std::wstring_view section, std::wstring_view key, unsigned long defaultValue,
                                      int base)
{
    const std::wstring text = GetSetupIniString(section, key, L"");
    if (text.empty())
        return defaultValue;
    return ov::parse_ulong(text, base);
}

bool Session::GetSetupIniFlag(std::wstring_view section, std::wstring_view key, bool defaultValue)
{
    const std::wstring text = GetSetupIniString(section, key, defaultValue ? L"Y" : L"N");
    return !text.empty() && ov::fold_case(text[0]) == L'Y';
}

long Session::GetSetupIniNumber(std::wstring_view section, std::wstring_view key, long defaultValue)
{
    const std::wstring sectionText(section);
    if (!SetupIniTable().has_section(sectionText))
        return defaultValue;
    const std::wstring text = ReadIniString(section, key, L"");
    if (text.empty())
        return defaultValue;
    return ov::parse_long(text, 10);
}

bool Session::ExtractFile(std::wstring_view name, bool reportError, bool force,
                          std::optional<std::wstring_view> destination, bool registerForDeletion)
{
    if (state_.runMode != RunPrepareAndInstall || (state_.payloadMode == PayloadBesideLauncher && !force))
        return true;

    const HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    const std::wstring target = destination ? std::wstring(*destination) : ov::path::join(Process().TempFolder, name);
    OnStatus(0, name);
    log_message(OV_HERE, L"Extracting '%s' to %s", name, target);

    const bool extracted = payload_->ExtractEntry(name, target, this);
    ::SetCursor(previous);
    if (extracted) {
        if (registerForDeletion)
            (void)DeleteAction::AddFile(target);
        return true;
    }
    if (!Process().Cancelled) {
        if (reportError) {
            Process().SetupResult = exit_code::extraction_failed;
            ErrorDialog(context_).show_error_text(ov::format(context_.LoadString(IDS_EXTRACT_ERROR), target));
        }
        log_message(OV_HERE, L"Extraction of '%s' failed", name);
    }
    return false;
}

bool Session::ExtractSetupIni()
{
    log_message(OV_HERE, L"Extracting setup.ini...");
    if (!ExtractFile(kSetupIniName, true, false, std::nullopt, true))
        return false;
    SetSourceFolder(Process().TempFolder);
    return true;
}

bool Session::ExtractLanguageFiles()
{
    for (const std::uint16_t language : context_.SupportedLanguages())
        if (!ExtractFile(ov::format(L"0x%04x.ini", language), true, false, std::nullopt, true))
            return false;
    return true;
}

bool Session::ExtractLanguageTransform()
{
    return ExtractFile(ov::path::file_name_of(Get(LanguageTransform)), true, true, std::nullopt, true);
}

bool Session::ExtractAllEntries()
{
    for (const auto& name : payload_->EntryNames())
        if (!ExtractFile(name, true, true, std::nullopt, true))
            return false;
    return true;
}

bool Session::CheckPayloadComplete()
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(state_.launcherPath.c_str(), GetFileExInfoStandard, &data))
        return true; // unreadable here: the extraction itself will say so
    const std::uint64_t fileSize = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    for (const auto& name : payload_->EntryNames()) {
        const auto entry = payload_->FindEntry(name);
        if (!entry || entry->data_offset + entry->record.size <= fileSize)
            continue;
        const std::wstring target = ov::path::join(Process().TempFolder, name);
        log_message(OV_HERE, L"Extraction of '%s' failed", name);
        Process().SetupResult = exit_code::extraction_failed;
        ErrorDialog(context_).show_error_text(ov::format(context_.LoadString(IDS_EXTRACT_ERROR), target));
        return false;
    }
    return true;
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

void Session::SetStatusMessage(const std::wstring& text)
{
    // Shown by the setup dialog; logged so that a run without one tells too.
    log_message(OV_HERE, L"%s", text);
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
    case RunInstallOnly: {
        MsiAction action(*this);
        (void)action.Execute();
        break;
    }
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
    {
        OSAction os(*this);
        if (!os.Execute() || Process().Cancelled)
            return false;
    }
    {
        DiskAction disk(IDS_CONFIGURING, *this);
        if (!disk.Execute() || Process().Cancelled)
            return false;
    }

    state_.sourceKey = GetSetupIniInt(L"Startup", L"Source", 1, 10) != 0;

    // The installed product's language is preferred when the package offers it.
    context_.SelectLanguage(InstalledProductLanguage());

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
    unsigned codePage = 0;
    (void)get_ansi_code_page(language, codePage);
    log_message(OV_HERE, L"Default language: %d, got code page %d", static_cast<int>(language),
                static_cast<int>(codePage));

    if (!::IsValidLocale(MAKELCID(language, SORT_DEFAULT), LCID_INSTALLED)) {
        Process().SetupResult = exit_code::no_code_page;
        ErrorDialog(context_).show_error_text(
            ov::format(context_.LoadString(IDS_NO_CODE_PAGE), context_.GetLanguageName(language)));
        return false;
    }

    if (context_.SupportedLanguages().size() >= 2 && !SelectLanguageTransform())
        return false;

    // The operating-system check records the system's major version; without
    // it the system counts as incompatible.
    if (state_.os.major == 0) {
        const int id = UnsupportedSystemMessage(Get(EngineVersion));
        Process().SetupResult = id;
        ErrorDialog(context_).show_message(static_cast<unsigned>(id));
        return false;
    }

    MsiAction action(*this);
    if (!action.Execute())
        return false;
    state_.msiKeep = action.KeepFiles();
    return true;
}

std::uint16_t Session::InstalledProductLanguage() const
{
    // The language Windows Installer recorded for the installed product; 0
    // when the product is not installed.
    const std::wstring productCode = ProductCodeValue();
    if (productCode.empty())
        return 0;
    const auto language = ov::msi::product_info(productCode, L"Language");
    return language ? static_cast<std::uint16_t>(ov::parse_ulong(*language, 10)) : 0;
}

bool Session::SelectLanguageTransform()
{
    const std::wstring name = std::to_wstring(context_.Language()) + L".MST";
    if (payload_->HasEntry(name)) {
        log_message(OV_HERE, L"Language transforms in stream");
        Set(LanguageTransform, ov::path::join(Process().TempFolder, name));
        if (!ExtractLanguageTransform())
            return false;
        AddOption(std::wstring_view(L"/LangTransform"), Get(LanguageTransform), true);
        return true;
    }
    if (state_.f3) {
        Set(LanguageTransform, ov::path::join(state_.sourceFolder, name));
        AddOption(std::wstring_view(L"/LangTransform"), Get(LanguageTransform), true);
    } else if ((::GetVersion() & 0x80000000u) != 0 && GetSetupIniInt(Get(PackageName), L"Type", 0, 10) == 3) {
        const std::wstring location = GetSetupIniString(Get(PackageName), L"Location", L"");
        Set(LanguageTransform, ov::format(L"%s/%s", ov::path::folder_of(location), name));
    } else {
        Set(LanguageTransform, name);
    }
    log_message(OV_HERE, L"Using language transforms from setup.exe location");
    return true;
}

void Session::DumpSetupIni()
{
    if (!ov::log::is_enabled())
        return;
    log_message(OV_HERE, L"Dumping setup.ini...");
    (void)SetupIniTable();
    for (const auto& [section, entries] : setupIniDocument_.sections()) {
        log_message(OV_HERE, L"Section: %s", ov::to_wstring(section));
        for (const auto& [key, entry] : entries)
            log_message(OV_HERE, L"%s=%s", ov::to_wstring(key), entry.value.value_or(std::wstring()));
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

int OvSetup::Run()
{
    return session_ ? session_->Run() : 1;
}
