/* runexe.exe: starts the command line that follows its own name, waits for
 * it and prints its whole 32-bit exit code as "EXIT=<code>".
 *
 * Wine hands Linux only the low 8 bits of a Windows exit code (1203 arrives
 * as 179, -4 as 252); the end-to-end tests read this line instead.
 *
 *   runexe.exe [--cwd <dir>] [--timeout <ms>] [<program> [arguments...]]
 *
 * Everything after the options is passed to CreateProcessW verbatim, so the
 * child sees exactly the command line the test wrote. When nothing follows
 * the options, the command line is taken from the environment variable
 * RUNEXE_CMDLINE instead: Wine quotes every Linux argument that holds a
 * double quote, so a command line such as  setup.exe /debuglog"C:\a.log"
 * can reach a Windows program unchanged only that way. The variable is
 * removed before the child starts. Output:
 *   EXIT=<code>                 the child ended; runexe exits 0
 *   EXIT=TIMEOUT                --timeout elapsed; the child is terminated; exit 3
 *   EXIT=START_FAILED <error>   CreateProcessW failed; exit 2
 *   EXIT=QUERY_FAILED <error>   GetExitCodeProcess failed; exit 2
 *   USAGE ...                   bad options; exit 2
 */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

enum {
    RUNEXE_OK = 0,
    RUNEXE_START_FAILED = 2,
    RUNEXE_TIMEOUT = 3,
};

static const wchar_t CMDLINE_VARIABLE[] = L"RUNEXE_CMDLINE";

static int is_blank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

static const wchar_t* skip_blanks(const wchar_t* p)
{
    while (*p && is_blank(*p))
        ++p;
    return p;
}

/* Skips one token the way the C runtime splits argv[0]: a token that starts
 * with a double quote runs to the next double quote, any other to the next
 * blank. Returns the first character after the token. */
static const wchar_t* skip_token(const wchar_t* p)
{
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"')
            ++p;
        if (*p == L'"')
            ++p;
        return p;
    }
    while (*p && !is_blank(*p))
        ++p;
    return p;
}

/* Copies one token without its quotes into out (capacity n characters). */
static const wchar_t* read_token(const wchar_t* p, wchar_t* out, size_t n)
{
    size_t len = 0;
    int quoted = 0;
    while (*p && (quoted || !is_blank(*p))) {
        if (*p == L'"')
            quoted = !quoted;
        else if (len + 1 < n)
            out[len++] = *p;
        ++p;
    }
    out[len] = 0;
    return p;
}

static int starts_with_option(const wchar_t* p, const wchar_t* name)
{
    size_t len = wcslen(name);
    return wcsncmp(p, name, len) == 0 && (p[len] == 0 || is_blank(p[len]));
}

int main(void)
{
    const wchar_t* p = skip_blanks(skip_token(GetCommandLineW()));
    wchar_t cwd[MAX_PATH * 4] = {0};
    wchar_t number[32] = {0};
    DWORD timeout_ms = INFINITE;

    for (;;) {
        if (starts_with_option(p, L"--cwd")) {
            p = skip_blanks(read_token(skip_blanks(p + 5), cwd, sizeof cwd / sizeof cwd[0]));
        } else if (starts_with_option(p, L"--timeout")) {
            p = skip_blanks(read_token(skip_blanks(p + 9), number, sizeof number / sizeof number[0]));
            timeout_ms = (DWORD)wcstoul(number, NULL, 10);
        } else {
            break;
        }
    }
    wchar_t* from_env = NULL;
    if (*p == 0) {
        DWORD n = GetEnvironmentVariableW(CMDLINE_VARIABLE, NULL, 0);
        if (n > 1) {
            from_env = (wchar_t*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, n * sizeof(wchar_t));
            if (from_env && GetEnvironmentVariableW(CMDLINE_VARIABLE, from_env, n) == n - 1)
                p = skip_blanks(from_env);
        }
        SetEnvironmentVariableW(CMDLINE_VARIABLE, NULL);
    }
    if (*p == 0) {
        printf("USAGE runexe.exe [--cwd <dir>] [--timeout <ms>] [<program> [arguments...]]\n"
               "      (without a program: the command line in %%RUNEXE_CMDLINE%%)\n");
        return RUNEXE_START_FAILED;
    }

    /* CreateProcessW may write into the command-line buffer. */
    size_t len = wcslen(p);
    wchar_t* cmdline = (wchar_t*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (len + 1) * sizeof(wchar_t));
    if (!cmdline) {
        printf("EXIT=START_FAILED %lu\n", (unsigned long)ERROR_NOT_ENOUGH_MEMORY);
        return RUNEXE_START_FAILED;
    }
    memcpy(cmdline, p, (len + 1) * sizeof(wchar_t));
    if (from_env)
        HeapFree(GetProcessHeap(), 0, from_env);

    STARTUPINFOW si = {0};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {0};
    if (!CreateProcessW(NULL, cmdline, NULL, NULL, FALSE, 0, NULL, cwd[0] ? cwd : NULL, &si, &pi)) {
        DWORD error = GetLastError();
        printf("EXIT=START_FAILED %lu\n", (unsigned long)error);
        fflush(stdout);
        HeapFree(GetProcessHeap(), 0, cmdline);
        return RUNEXE_START_FAILED;
    }
    HeapFree(GetProcessHeap(), 0, cmdline);
    CloseHandle(pi.hThread);

    if (WaitForSingleObject(pi.hProcess, timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
        CloseHandle(pi.hProcess);
        printf("EXIT=TIMEOUT\n");
        fflush(stdout);
        return RUNEXE_TIMEOUT;
    }

    DWORD code = 0;
    if (!GetExitCodeProcess(pi.hProcess, &code)) {
        DWORD error = GetLastError();
        CloseHandle(pi.hProcess);
        printf("EXIT=QUERY_FAILED %lu\n", (unsigned long)error);
        fflush(stdout);
        return RUNEXE_START_FAILED;
    }
    CloseHandle(pi.hProcess);
    printf("EXIT=%ld\n", (long)(LONG)code);
    fflush(stdout);
    return RUNEXE_OK;
}
