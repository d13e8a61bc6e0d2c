#include "setupcontext.h"

#include "commandline.h"
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

// Member of the built-in Administrators group, not only for deny.
bool is_effective_administrator()
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

} // namespace

bool SetupContext::ReadStartupSection()
{
    ov::inifilex document;
    if (!document.load(setupIniPath_, L"="))
        return false;
    scriptDriven_ = document.get_int(L"Startup", L"ScriptDriven", 4);
    productCode_ = document.get_string(L"Startup", scriptDriven_ == 4 ? L"ProductGUID" : L"ProductCode", L"");
    if (scriptDriven_ == 4) {
        allUsers_ = document.get_bool(L"Startup", L"AllUsers", is_effective_administrator());
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

std::wstring SetupContext::LoadString(unsigned id) const
{
    // Language files join here once the language Part is in place; until a
    // language file supplies the text, the built-in string is used.
    return LoadBuiltinString(instance_, id, language_);
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
