/* redist_double.exe: stands in for a Windows Installer engine (or other)
 * redistributable. The tests copy it under the real names
 * (INSTMSIW.EXE, WindowsInstaller-KB893803-x86.exe, instmsi30.exe, ...).
 *
 * Each run appends its whole command line (GetCommandLineW), in UTF-8 and
 * followed by "\n", to "<own path>.calls.log" beside itself, e.g.
 * INSTMSIW.EXE.calls.log. Then it waits REDIST_DOUBLE_SLEEP_MS milliseconds
 * (default 0) and exits with REDIST_DOUBLE_EXIT (decimal, or 0x... hex;
 * default 0). Both variables come from the environment the launcher passes
 * on. A GUI program, so that no console appears under Wine.
 */
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

static DWORD read_number(const wchar_t* name, DWORD fallback)
{
    wchar_t text[64];
    const DWORD n = GetEnvironmentVariableW(name, text, sizeof text / sizeof text[0]);
    if (n == 0 || n >= sizeof text / sizeof text[0])
        return fallback;
    if (text[0] == L'-')
        return (DWORD)wcstol(text, NULL, 10);
    return (DWORD)wcstoul(text, NULL, 0);
}

static void record_call(void)
{
    wchar_t path[MAX_PATH + 16];
    const DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    wcscat(path, L".calls.log");

    const wchar_t* line = GetCommandLineW();
    const int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, NULL, 0, NULL, NULL);
    if (size <= 0)
        return;
    char* text = (char*)malloc((size_t)size + 1);
    if (!text)
        return;
    WideCharToMultiByte(CP_UTF8, 0, line, -1, text, size, NULL, NULL);
    text[size - 1] = '\n'; /* the terminating null becomes the line end */

    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text, (DWORD)size, &written, NULL);
        CloseHandle(file);
    }
    free(text);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show)
{
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    record_call();
    const DWORD sleep = read_number(L"REDIST_DOUBLE_SLEEP_MS", 0);
    if (sleep)
        Sleep(sleep);
    ExitProcess(read_number(L"REDIST_DOUBLE_EXIT", 0));
    return 0;
}
