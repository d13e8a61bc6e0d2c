// A stand-in for the script engine library OVSetup.dll. It offers the two
// exports the launcher calls, records every call in "ovsetup_calls.log" beside
// itself (one line per call, UTF-8), and answers the code given in the
// environment variable OVSETUP_DOUBLE_ANSWER (default 0). Built without
// "RunOVMSRUdazi" when OV_DOUBLE_NO_ENGINE_ENTRY is defined, to stand for an
// unusable library.
#include <windows.h>
#include <unknwn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HMODULE g_module = nullptr;

std::wstring log_path()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(g_module, path, MAX_PATH);
    std::wstring text = path;
    const auto slash = text.find_last_of(L'\\');
    return text.substr(0, slash + 1) + L"ovsetup_calls.log";
}

void record(const std::wstring& line)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1)
        ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8.data(), n, nullptr, nullptr);
    utf8 += "\n";
    if (FILE* f = _wfopen(log_path().c_str(), L"ab")) {
        std::fwrite(utf8.data(), 1, utf8.size(), f);
        std::fclose(f);
    }
}

int answer()
{
    wchar_t value[32] = {};
    if (::GetEnvironmentVariableW(L"OVSETUP_DOUBLE_ANSWER", value, 32) == 0)
        return 0;
    return static_cast<int>(std::wcstol(value, nullptr, 10));
}

const wchar_t* text(const wchar_t* s)
{
    return s ? s : L"(null)";
}

} // namespace

// The launcher's progress interface, as the engine sees it.
struct RUdaziInitializationProgress : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE on_init_begin() = 0;
    virtual HRESULT STDMETHODCALLTYPE on_init_progress(LONG percent) = 0;
    virtual HRESULT STDMETHODCALLTYPE on_init_end() = 0;
};

extern "C" {

#ifndef OV_DOUBLE_NO_ENGINE_ENTRY
__declspec(dllexport) int __stdcall RunOVMSRUdazi(BOOL noSource, const wchar_t* package, BOOL noSource2,
                                                  const wchar_t* commandLine, RUdaziInitializationProgress* progress,
                                                  DWORD language, const wchar_t* launcherName)
{
    HRESULT end = E_POINTER;
    if (progress) {
        progress->on_init_begin();
        progress->on_init_progress(50);
        end = progress->on_init_end();
    }
    wchar_t line[4096] = {};
    _snwprintf(line, 4095, L"RunOVMSRUdazi|%d|%ls|%d|%ls|%ls|%lu|%ls|end=0x%08lx", noSource, text(package), noSource2,
               text(commandLine), progress ? L"progress" : L"null", static_cast<unsigned long>(language),
               text(launcherName), static_cast<unsigned long>(end));
    record(line);
    return answer();
}
#endif

__declspec(dllexport) int __stdcall RunOVMSIMajorUpgradeRemoval(const wchar_t* first, int second, int third,
                                                                const wchar_t* fourth)
{
    wchar_t line[4096] = {};
    _snwprintf(line, 4095, L"RunOVMSIMajorUpgradeRemoval|%ls|%d|%d|%ls", text(first), second, third, text(fourth));
    record(line);
    return answer();
}

} // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_module = instance;
    return TRUE;
}
