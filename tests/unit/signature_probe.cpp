// signature_probe.exe <file> <certificate> [/s]: runs the in-process
// verify_file (the system's trust provider, no owner window) and exits with
// its result, so that the end-to-end scenarios can compare setup.exe's "/g"
// exit codes with the in-process form.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "processstate.h"
#include "signature.h"

int wmain(int argc, wchar_t** argv)
{
    Process().Instance = ::GetModuleHandleW(nullptr);
    if (argc < 3 || argc > 4 || (argc == 4 && std::wstring(argv[3]) != L"/s"))
        return 2;
    return verify_file(argv[1], argv[2], argc == 4, nullptr);
}
