#include "useroptions.h"

#include "ov_handles.h"
#include "ov_string.h"
#include "paths.h"
#include "processstate.h"
#include "session.h"
#include "setupcontext.h"
#include "utils.h"

#include <windows.h>

namespace {

constexpr wchar_t kCurrentVersionKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

bool fail(Session& session)
{
    (void)ShowUsage(session);
    return false;
}

std::wstring_view rest_after(std::wstring_view option, size_t count)
{
    return option.size() > count ? option.substr(count) : std::wstring_view();
}

// The resume logic writes "OVSetup" into Run; any "/v" run removes it.
void delete_run_entry()
{
    ov::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
        ::RegDeleteValueW(key.get(), L"OVSetup");
}

} // namespace

bool ReadRegistryPlaceholder(std::wstring_view name, std::wstring& value)
{
    value.clear();
    ov::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return false;
    const std::wstring valueName(name);
    wchar_t buffer[261] = {};
    DWORD size = 260 * sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        buffer[260] = L'\0';
        value = buffer;
    }
    ::RegDeleteValueW(key.get(), valueName.c_str());
    return true;
}

bool ParseUserOption(Session& session, std::wstring_view option)
{
    if (option.empty())
        return fail(session);
    auto& state = session.State();
    auto& context = session.Context();

    auto set_install_mode = [&](int mode) {
        if (state.installMode != ModeInstall)
            return false;
        state.installMode = mode;
        return true;
    };
    const wchar_t second = option.size() > 1 ? ov::fold_case(option[1]) : L'\0';

    switch (ov::fold_case(option[0])) {
    case L'A':
        if (ov::iequals(option, L"auto")) {
            context.SetAutomatic(true);
            session.AddOption(std::wstring_view(L"/auto"));
            return true;
        }
        if (!set_install_mode(ModeAdministrative))
            return fail(session);
        session.AddOption(std::wstring_view(L"/a"));
        return true;

    case L'B':
        session.Set(CacheLocation, rest_after(option, 1));
        return true;

    case L'C':
        state.payloadMode = PayloadEmbedded;
        state.quietStart = true;
        return true;

    case L'D':
        if (ov::istarts_with(option, L"debuglog"))
            return true;
        session.AddOption(std::wstring_view(L"/d"), rest_after(option, 1));
        return true;

    case L'E': {
        if (ov::istarts_with(option, L"embed{") && option.back() == L'}')
            return true;
        std::wstring folder(rest_after(option, 1));
        if (folder == L"%OV_E%" && !ReadRegistryPlaceholder(L"%OV_E%", folder))
            return fail(session);
        folder = ov::path::unquote(folder);
        Process().TempFolder = folder;
        context.SetTempFolder(folder);
        state.quietStart = true;
        Process().SetupIniPath = ov::path::join(folder, L"Setup.INI");
        session.SetFromIni(PackageName, L"Startup", L"PackageName", L"");
        state.runMode = RunInstallOnly;
        return true;
    }

    case L'F':
        if (second == L'1') {
            session.AddOption(std::wstring_view(L"/f1"), rest_after(option, 2));
            state.responseFile = true;
        } else if (second == L'2') {
            session.AddOption(std::wstring_view(L"/f2"), rest_after(option, 2));
        } else if (second == L'3') {
            state.f3 = true;
            session.SetSourceFolder(rest_after(option, 2));
        } else {
            session.AddOption(std::wstring_view(L"/f"), rest_after(option, 1));
        }
        return true;

    case L'H':
        if (ov::iequals(option, L"hide_progress"))
            state.hideProgress = true;
        return true;

    case L'I':
        if (ov::istarts_with(option, L"instance=")) {
            const std::wstring_view value = rest_after(option, 9);
            if (ov::iequals(value, L"default")) {
                state.instanceId = -1;
            } else {
                const auto number = ov::parse_whole_int32(value);
                state.instanceId = number ? *number : -3;
            }
        }
        return true;

    case L'J':
        if (!set_install_mode(ModeAdvertise))
            return fail(session);
        session.Set(ModeFlags, rest_after(option, 1));
        session.AddOption(std::wstring_view(L"/j"), rest_after(option, 1));
        return true;

    case L'L': {
        const std::uint16_t language = ov::parse_language_id(rest_after(option, 1));
        context.SetCommandLineLanguage(language);
        return true;
    }

    case L'M':
        if (second == L'1')
            session.AddOption(std::wstring_view(L"/m1"), rest_after(option, 2));
        else if (second == L'2')
            session.AddOption(std::wstring_view(L"/m2"), rest_after(option, 2));
        else
            session.AddOption(std::wstring_view(L"/m"), rest_after(option, 1));
        return true;

    case L'N':
        if (ov::iequals(option, L"noscript_uninst")) {
            session.AddOption(std::wstring_view(L"/noscript_uninst"));
            return true;
        }
        session.Set(PackageName, rest_after(option, 1));
        state.runMode = RunInstallOnly;
        state.quietStart = true;
        return true;

    case L'Q':
        state.relaunched = true;
        return true;

    case L'R':
        if (ov::iequals(option, L"removeonly")) {
            session.AddOption(std::wstring_view(L"/removeonly"));
            return true;
        }
        if (ov::iequals(option, L"runas") || ov::iequals(option, L"runfromtemp") ||
            ov::iequals(option, L"removeasmajorupgrade") || ov::istarts_with(option, L"reboot"))
            return true;
        // The entry consumes "removeasmajorupgrade<value>" before the session
        // sees the command line; a value here is still that option.
        if (ov::istarts_with(option, L"removeasmajorupgrade"))
            return true;
        session.AddOption(std::wstring_view(L"/r"));
        return true;

    case L'S':
        if (ov::iequals(option, L"SMS")) {
            session.AddOption(std::wstring_view(L"/SMS"));
            return true;
        }
        if (ov::iequals(option, L"show_reboot_msg")) {
            context.SetShowRebootMessage(true);
            return true;
        }
        context.SetSilent(true);
        session.AddOption(std::wstring_view(L"/s"));
        return true;

    case L'T': {
        if (ov::istarts_with(option, L"tempdisk1folder"))
            return true;
        std::wstring folder(rest_after(option, 1));
        if (folder == L"%OV_T%") {
            if (!ReadRegistryPlaceholder(L"%OV_T%", folder))
                return fail(session);
            folder = ov::path::unquote(folder);
        }
        session.SetTempDisk1Folder(folder);
        state.runMode = RunNothing;
        state.quietStart = true;
        return true;
    }

    case L'U':
        if (second == L'A')
            session.Set(InstMsiAUrl, rest_after(option, 2));
        else if (second == L'M')
            session.Set(PackageUrl, rest_after(option, 2));
        else if (second == L'W')
            session.Set(InstMsiWUrl, rest_after(option, 2));
        else if (ov::iequals(option, L"uninst"))
            session.AddOption(std::wstring_view(L"/uninst"));
        return true;

    case L'V': {
        delete_run_entry();
        if (ov::istarts_with(option, L"verbose")) {
            session.AddOption(std::wstring_view(L"/verbose"), rest_after(option, 7), true);
            return true;
        }
        const std::wstring_view rest = rest_after(option, 1);
        if (rest == L"%OV_V%") {
            std::wstring value;
            if (!ReadRegistryPlaceholder(L"%OV_V%", value))
                return fail(session);
            session.Set(CmdLine, value);
            session.AddOption(std::wstring_view(L"/v"), std::wstring_view(value), true);
            return true;
        }
        session.Append(CmdLine, rest, L" ");
        session.AddOption(std::wstring_view(L"/v"), rest, true);
        return true;
    }

    case L'W':
        return true;

    case L'X':
        if (!set_install_mode(ModeUninstall))
            return fail(session);
        return true;

    case L'Z':
        session.AddOption(std::wstring_view(L"/z"), rest_after(option, 1));
        return true;

    default:
        return fail(session);
    }
}

bool ParseUserOptionCallback(void* session, std::wstring_view option)
{
    return ParseUserOption(*static_cast<Session*>(session), option);
}

void ShowUsageCallback(void* session)
{
    (void)ShowUsage(*static_cast<Session*>(session));
}
