// A stand-in for the billboard library OVExternalUI.dll. It offers the one
// export the launcher calls,
//
//   int __stdcall OVExternalUIInstall(const wchar_t* package,
//                                     const wchar_t* properties,
//                                     int rtl, int billboardType)
//
// and records every call as one UTF-8 line
//
//   OVExternalUIInstall|<package>|<properties>|<rtl>|<billboardType>|exists=<0|1>
//
// ("exists" tells whether the package file was there during the call) in the
// file named by the environment variable OVEXTERNALUI_DOUBLE_RECORD, or, when
// that is not set, in "ovexternalui_calls.log" beside the library. The
// launcher loads the library from its temporary folder and removes that
// folder at the end of its run, so tests name a record file of their own.
//
// What it answers:
//   - with OVEXTERNALUI_DOUBLE_INSTALL=1 it really installs the package, as a
//     billboard library would: it runs  msiexec /i "<package>" <properties> /qn
//     and waits; the line "msiexec=<exit code>" is recorded after the call's
//     line. The answer is msiexec's exit code;
//   - OVEXTERNALUI_DOUBLE_ANSWER (a decimal number), when set, is the answer
//     in any case (after the installation, if one was asked for);
//   - otherwise 0.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HMODULE g_module = nullptr;

std::wstring environment(const wchar_t* name)
{
    wchar_t value[2048] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, 2048);
    return (n == 0 || n >= 2048) ? std::wstring() : std::wstring(value, n);
}

std::wstring record_path()
{
    std::wstring path = environment(L"OVEXTERNALUI_DOUBLE_RECORD");
    if (!path.empty())
        return path;
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(g_module, self, MAX_PATH);
    path = self;
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"ovexternalui_calls.log";
}

void record(const std::wstring& line)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1)
        ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8.data(), n, nullptr, nullptr);
    utf8 += "\n";
    if (FILE* f = _wfopen(record_path().c_str(), L"ab")) {
        std::fwrite(utf8.data(), 1, utf8.size(), f);
        std::fclose(f);
    }
}

const wchar_t* text(const wchar_t* s)
{
    return s ? s : L"(null)";
}

bool file_exists(const wchar_t* path)
{
    if (!path)
        return false;
    const DWORD attributes = ::GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Runs msiexec on the package with the properties, silently; its exit code,
// or -1 when it could not be started.
int run_msiexec(const wchar_t* package, const wchar_t* properties)
{
    std::wstring commandLine = L"msiexec /i \"";
    commandLine += text(package);
    commandLine += L"\" ";
    commandLine += properties ? properties : L"";
    commandLine += L" /qn";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

} // namespace

extern "C" {

__declspec(dllexport) int __stdcall OVExternalUIInstall(const wchar_t* package, const wchar_t* properties, int rtl,
                                                        int billboardType)
{
    std::wstring line = L"OVExternalUIInstall|";
    line += text(package);
    line += L"|";
    line += text(properties);
    line += L"|" + std::to_wstring(rtl) + L"|" + std::to_wstring(billboardType);
    line += file_exists(package) ? L"|exists=1" : L"|exists=0";
    record(line);

    int answer = 0;
    if (environment(L"OVEXTERNALUI_DOUBLE_INSTALL") == L"1") {
        answer = run_msiexec(package, properties);
        record(L"msiexec=" + std::to_wstring(answer));
    }
    const std::wstring given = environment(L"OVEXTERNALUI_DOUBLE_ANSWER");
    if (!given.empty())
        answer = static_cast<int>(std::wcstol(given.c_str(), nullptr, 10));
    return answer;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_module = instance;
    return TRUE;
}

} // extern "C"
