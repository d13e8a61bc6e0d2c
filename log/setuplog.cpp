#include "setuplog.h"

#include "logformat.h"
#include "ov_handles.h"
#include "paths.h"

#include <windows.h>

namespace ov::log {

namespace {

constexpr wchar_t kRegistryKey[] = L"SOFTWARE\\Orvane\\17.0\\Professional";

struct state {
    bool enabled = false;
    bool registry_pending = true;
    bool source_details = true;
    std::wstring explicit_file;
};

state& the_state()
{
    static state s;
    return s;
}

unique_hkey open_settings_key()
{
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kRegistryKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        key.reset();
    return key;
}

void check_registry()
{
    auto& s = the_state();
    if (!s.registry_pending)
        return;
    s.registry_pending = false;
    const auto key = open_settings_key();
    if (!key)
        return;
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), L"DoVerboseLogging", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && value == 1)
        s.enabled = true;
}

std::wstring registry_log_folder()
{
    const auto key = open_settings_key();
    if (!key)
        return {};
    wchar_t buffer[260] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    if (::RegQueryValueExW(key.get(), L"VerboseLogPath", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    buffer[259] = L'\0';
    return buffer;
}

std::wstring launcher_folder()
{
    wchar_t path[1024] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, 1024);
    if (n == 0 || n >= 1024)
        return {};
    return ov::path::folder_of(path);
}

std::wstring locale_text(bool date, const SYSTEMTIME& now)
{
    wchar_t buffer[128] = {};
    const int n = date ? ::GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &now, L"M-d-yyyy", buffer, 128)
                       : ::GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &now, L"hh':'mm':'ss tt", buffer, 128);
    if (n <= 0)
        return {};
    return buffer;
}

void write_line(const std::wstring& path, const std::wstring& line)
{
    // The thread's ANSI code page; characters it lacks become its default character.
    const int bytes = ::WideCharToMultiByte(CP_THREAD_ACP, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0,
                                            nullptr, nullptr);
    if (bytes <= 0)
        return;
    std::string ansi(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_THREAD_ACP, 0, line.c_str(), static_cast<int>(line.size()), ansi.data(), bytes, nullptr,
                          nullptr);

    unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    LARGE_INTEGER zero = {};
    if (!::SetFilePointerEx(file.get(), zero, nullptr, FILE_END))
        return;
    DWORD written = 0;
    ::WriteFile(file.get(), ansi.data(), static_cast<DWORD>(ansi.size()), &written, nullptr);
}

} // namespace

bool wanted() noexcept
{
    const auto& s = the_state();
    return s.enabled || s.registry_pending;
}

void enable_log() noexcept
{
    the_state().enabled = true;
}

bool is_enabled() noexcept
{
    return the_state().enabled;
}

void set_log_source_details(bool details) noexcept
{
    the_state().source_details = details;
}

void set_log_file(std::wstring_view path)
{
    the_state().explicit_file.assign(path);
}

std::wstring get_log_file_path()
{
    const auto& s = the_state();
    if (!s.explicit_file.empty())
        return s.explicit_file;
    std::wstring folder = registry_log_folder();
    if (folder.empty())
        folder = launcher_folder();
    return ov::path::join(folder, default_file_name);
}

void log_text(std::wstring_view message, const char* sourceFile, int line) noexcept
{
    try {
        check_registry();
        const auto& s = the_state();
        if (!s.enabled)
            return;
        SYSTEMTIME now = {};
        ::GetLocalTime(&now);
        const std::wstring text = format_line(locale_text(true, now), locale_text(false, now), message,
                                              s.source_details, sourceFile ? sourceFile : "", line);
        const DWORD savedError = ::GetLastError();
        write_line(get_log_file_path(), text);
        ::SetLastError(savedError);
    } catch (...) {
    }
}

} // namespace ov::log
