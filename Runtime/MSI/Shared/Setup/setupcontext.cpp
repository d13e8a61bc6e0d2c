#include "setupcontext.h"

#include "commandline.h"
#include "languagematch.h"
#include "ov_handles.h"
#include "ov_format.h"
#include "ov_string.h"
#include "paths.h"
#include "resource.h"

SetupContext::SetupContext(HINSTANCE instance, std::wstring launcherPath)
    : instance_(instance), launcherPath_(std::move(launcherPath)), sourceFolder_(ov::path::folder_of(launcherPath_))
{
}

void SetupContext::AppendOptionText(std::wstring_view text)
{
    if (text.empty())
        return;
    if (!optionText_.empty())
        optionText_.push_back(L' ');
    optionText_.append(text);
}

std::wstring SetupContext::ParseInternalOptions(std::wstring_view cmdline)
{
    CommandLineScanner scanner(cmdline);
    std::wstring value;

    if (scanner.GetOption(L"l", &value, false, true)) {
        // Every "0x" goes before the value is read as hexadecimal.
        if (ov::istarts_with(value, L"0x")) {
            std::wstring digits;
            for (size_t i = 0; i < value.size(); ++i) {
                if (i + 1 < value.size() && value[i] == L'0' && (value[i + 1] == L'x' || value[i + 1] == L'X')) {
                    ++i;
                    continue;
                }
                digits.push_back(value[i]);
            }
            language_ = static_cast<std::uint16_t>(ov::parse_ulong(digits, 16));
        } else {
            language_ = static_cast<std::uint16_t>(ov::parse_long(value, 10));
        }
    }
    if (scanner.GetOption(L"ig", &value, false, true))
        installGuid_ = ov::path::unquote(value);
    (void)scanner.GetOption(L"no_engine", nullptr, true, false);
    if (scanner.GetOption(L"s", nullptr, true, false))
        silent_ = true;
    if (scanner.GetOption(L"auto", nullptr, true, false))
        automatic_ = true;

    struct recognised {
        const wchar_t* name;
        bool exact;
        bool consume;
    };
    static constexpr recognised kRecognised[] = {
        {L"hide_progress", true, true},
        {L"hide_splash", true, true},
        {L"hide_usd", true, true},
        {L"reboot", false, false},
        {L"package", false, false},
        {L"f2", false, false},
        {L"no_deleter", true, true},
        {L"clone_wait", true, true},
        {L"show_err_dlg", true, true},
        {L"show_err_msg", true, true},
        {L"show_err_msg_invalid_identity", true, true},
        {L"delayedstart:", false, true},
        {L"tempdisk1folder:", false, true},
        {L"extract_all:", false, true},
        {L"media_path:", false, true},
        {L"installfromweb:", false, true},
        {L"runfromtemp", true, true},
    };
    for (const auto& option : kRecognised)
        (void)scanner.GetOption(option.name, nullptr, option.exact, option.consume);

    return scanner.Remaining();
}

namespace {

// "0x0409,1031": each piece in hexadecimal after "0x", else decimal.
std::set<std::uint16_t> read_language_list(std::wstring_view text)
{
    std::set<std::uint16_t> languages;
    for (const auto& piece : ov::split(text, L','))
        languages.insert(ov::parse_language_id(piece));
    return languages;
}

} // namespace

bool IsEffectiveAdministrator()
{
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof sid;
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size))
        return false;
    BOOL member = FALSE;
    if (!::CheckTokenMembership(nullptr, sid, &member))
        return false;
    return member != FALSE;
}

bool SetupContext::ReadStartupSection()
{
    ov::inifilex document;
    if (!document.load(setupIniPath_, L"="))
        return false;
    scriptDriven_ = document.get_int(L"Startup", L"ScriptDriven", 4);
    productCode_ = document.get_string(L"Startup", scriptDriven_ == 4 ? L"ProductGUID" : L"ProductCode", L"");
    if (scriptDriven_ == 4) {
        allUsers_ = document.get_bool(L"Startup", L"AllUsers", IsEffectiveAdministrator());
        installGuid_ = document.get_string(L"Startup", L"InstallGUID", installGuid_);
        const std::wstring cmdline = document.get_string(L"Startup", L"cmdline", L"");
        if (!cmdline.empty()) {
            const std::wstring rest = ParseInternalOptions(cmdline);
            if (!rest.empty())
                AppendOptionText(rest);
        }
    }
    return ReadLanguagesSection(&document);
}

bool SetupContext::ReadLanguagesSection(const ov::inifilex* document)
{
    ov::inifilex loaded;
    if (!document) {
        if (!loaded.load(setupIniPath_, L"="))
            return false;
        document = &loaded;
    }
    defaultLanguage_ = static_cast<std::uint16_t>(document->get_int(L"Languages", L"Default", 9));
    languageDialog_ = document->get_bool(L"Startup", L"EnableLangDlg", false);
    const std::wstring supported = document->get_string(L"Languages", L"Supported", L"");
    if (!supported.empty())
        for (const auto language : read_language_list(supported))
            supported_.insert(language);
    const std::wstring exact = document->get_string(L"Languages", L"RequireExactLangMatch", L"");
    if (ov::iequals(exact, L"ALL"))
        exactAll_ = true;
    else if (!exact.empty())
        exact_ = read_language_list(exact);
    const std::wstring rtl = document->get_string(L"Languages", L"RTLLangs", L"");
    if (!rtl.empty())
        rtl_ = read_language_list(rtl);
    return true;
}

std::wstring SetupContext::LanguageFilePath(std::uint16_t language) const
{
    const std::wstring folder = setupIniPath_.empty() ? tempFolder_ : ov::path::folder_of(setupIniPath_);
    return ov::path::join(folder, LanguageFileName(language));
}

bool SetupContext::MatchLanguage(std::uint16_t& language) const
{
    const LanguageOffer offer{supported_, exact_, exactAll_};
    const auto match = ::MatchLanguage(offer, language);
    if (!match)
        return false;
    language = *match;
    return true;
}

void SetupContext::SelectLanguage(std::uint16_t preferred)
{
    explicitlyChosen_ = false;
    fromInstalledProduct_ = false;
    std::uint16_t candidate = commandLineLanguage_;
    if (candidate != 0 && MatchLanguage(candidate)) {
        language_ = candidate;
        explicitlyChosen_ = true;
        return;
    }
    if (preferred == 0 && scriptDriven_ == 4)
        preferred = InstalledLanguage();
    candidate = preferred;
    if (MatchLanguage(candidate)) {
        language_ = candidate;
        fromInstalledProduct_ = true;
        return;
    }
    for (const std::uint16_t system :
         {static_cast<std::uint16_t>(::GetUserDefaultLangID()), static_cast<std::uint16_t>(::GetSystemDefaultLangID()),
          get_system_ui_language()}) {
        candidate = system;
        if (MatchLanguage(candidate)) {
            language_ = candidate;
            return;
        }
    }
    language_ = defaultLanguage_;
}

std::uint16_t SetupContext::InstalledLanguage() const
{
    std::wstring entry = installGuid_.empty() ? productCode_ : installGuid_;
    if (entry.empty())
        return 0;
    if (entry.front() != L'{')
        entry.insert(entry.begin(), L'{');
    if (entry.back() != L'}')
        entry.push_back(L'}');
    const std::wstring keyPath = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + entry;
    ov::unique_hkey key;
    if (::RegOpenKeyExW(allUsers_ ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS)
        return 0;
    wchar_t buffer[2048] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), L"UninstallString", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return 0;
    CommandLineScanner scanner(buffer);
    std::wstring value;
    if (!scanner.GetOption(L"l", &value, false, false))
        return 0;
    if (ov::istarts_with(value, L"0x"))
        return static_cast<std::uint16_t>(ov::parse_ulong(value.substr(2), 16));
    return static_cast<std::uint16_t>(ov::parse_long(value, 10));
}

bool SetupContext::ShouldShowLanguageDialog() const
{
    if (!Interactive() || !languageDialog_ || explicitlyChosen_ || fromInstalledProduct_)
        return false;
    return supported_.size() != 1;
}

std::wstring SetupContext::GetLanguageName(std::uint16_t language) const
{
    const std::wstring key = ov::format(L"0x%04x", language);
    if (language_ != 0) {
        ov::inifilex file;
        if (file.load(LanguageFilePath(language_))) {
            std::wstring name = file.get_string(L"Languages", key, L"");
            if (!name.empty())
                return name;
        }
    }
    if (!setupIniPath_.empty()) {
        ov::inifilex setupIni;
        if (setupIni.load(setupIniPath_)) {
            std::wstring name = setupIni.get_string(key, key, L"");
            if (name.empty())
                name = setupIni.get_string(L"0x0409", key, L"");
            if (!name.empty())
                return name;
        }
    }
    wchar_t name[260] = {};
    if (::VerLanguageNameW(language, name, 260) > 0)
        return name;
    return key;
}

std::wstring SetupContext::LoadString(unsigned id) const
{
    if (language_ != 0) {
        const std::wstring path = LanguageFilePath(language_);
        if (!languageFile_ || loadedLanguage_ != language_ || loadedLanguagePath_ != path) {
            auto file = std::make_unique<ov::inifilex>();
            if (file->load(path))
                languageFile_ = std::move(file);
            else
                languageFile_.reset();
            loadedLanguage_ = language_;
            loadedLanguagePath_ = path;
        }
        if (languageFile_) {
            std::wstring text = languageFile_->get_string(ov::format(L"0x%04x", language_), std::to_wstring(id), L"");
            if (!text.empty())
                return text;
        }
    }
    return LoadBuiltinString(instance_, id, language_);
}

void get_language_font(const SetupContext& context, std::uint16_t language, std::wstring& face, int& size)
{
    const std::wstring path = context.LanguageFilePath(language);
    face = ov::read_ini_string(path, L"Properties", L"FontName", L"MS Sans Serif");
    size = ov::read_ini_int(path, L"Properties", L"FontSize", 8);
}

bool get_ansi_code_page(std::uint16_t language, unsigned& codePage)
{
    wchar_t text[16] = {};
    if (::GetLocaleInfoW(MAKELCID(language, SORT_DEFAULT), LOCALE_IDEFAULTANSICODEPAGE, text, 16) <= 0)
        return false;
    codePage = static_cast<unsigned>(ov::parse_ulong(text, 10));
    return true;
}

std::uint16_t get_system_ui_language()
{
    using UiLanguageFn = LANGID(WINAPI*)();
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto query = kernel ? reinterpret_cast<UiLanguageFn>(
                                    reinterpret_cast<void*>(::GetProcAddress(kernel, "GetSystemDefaultUILanguage")))
                              : nullptr;
    if (query)
        return query();
    auto read = [](const wchar_t* path, const wchar_t* name, std::wstring& value) {
        ov::unique_hkey key;
        if (::RegOpenKeyExW(HKEY_USERS, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return false;
        wchar_t buffer[64] = {};
        DWORD size = sizeof(buffer) - sizeof(wchar_t);
        if (::RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS)
            return false;
        value = buffer;
        return !value.empty();
    };
    std::wstring value;
    if (read(L".Default\\Control Panel\\desktop\\ResourceLocale", nullptr, value) ||
        read(L".DEFAULT\\Control Panel\\International", L"Locale", value))
        return static_cast<std::uint16_t>(ov::parse_ulong(value, 16));
    return 1033;
}

int SetupContext::Ask(HWND owner, std::wstring_view text, UINT style, int defaultAnswer, unsigned flags) const
{
    if (!Interactive() && (flags & 2) == 0)
        return defaultAnswer;
    if (IsRtlLanguage(language_))
        style |= MB_RIGHT | MB_RTLREADING;
    const std::wstring message(text);
    const std::wstring title = WindowTitle(false);
    return ::MessageBoxW(owner, message.c_str(), title.c_str(), style);
}

std::wstring SetupContext::WindowTitle(bool plain) const
{
    std::wstring title;
    if (plain || productName_.empty())
        title = LoadString(IDS_WIZARD);
    else
        title = ov::format(LoadString(IDS_PRODUCT_WIZARD), productName_);
    if (title.find(L"Orvane") == std::wstring::npos)
        title.append(L" Orvane Wizard");
    return title;
}

namespace {

// A string-table block holds 16 counted strings; find entry `index`.
std::wstring string_from_block(HINSTANCE instance, HRSRC resource, unsigned index)
{
    const HGLOBAL loaded = ::LoadResource(instance, resource);
    const DWORD size = ::SizeofResource(instance, resource);
    const auto* data = static_cast<const wchar_t*>(loaded ? ::LockResource(loaded) : nullptr);
    if (!data)
        return {};
    const wchar_t* end = data + size / sizeof(wchar_t);
    for (unsigned i = 0; i < 16 && data < end; ++i) {
        const unsigned length = static_cast<unsigned>(*data++);
        if (data + length > end)
            return {};
        if (i == index)
            return std::wstring(data, length);
        data += length;
    }
    return {};
}

} // namespace

std::wstring LoadBuiltinString(HINSTANCE instance, unsigned id, std::uint16_t language)
{
    const auto block = MAKEINTRESOURCEW(id / 16 + 1);
    const WORD candidates[] = {language, static_cast<WORD>(language | 0x400), 0x400, 0};
    for (const WORD lang : candidates) {
        if (const HRSRC resource = ::FindResourceExW(instance, RT_STRING, block, lang)) {
            std::wstring text = string_from_block(instance, resource, id % 16);
            if (!text.empty())
                return text;
        }
    }
    // Neutral lookups found nothing: take whichever language the table has.
    wchar_t* direct = nullptr;
    const int n = ::LoadStringW(instance, id, reinterpret_cast<wchar_t*>(&direct), 0);
    return n > 0 && direct ? std::wstring(direct, static_cast<size_t>(n)) : std::wstring();
}
