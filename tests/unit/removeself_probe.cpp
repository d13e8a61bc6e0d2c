// A stand-in for a launcher relaunched from its temporary folder, for the
// deleter's tests. Started without arguments it asks for its own removal and
// ends at once; with "--deleter <file>" it treats its own folder as the
// temporary folder, registers <file> there and runs the deleter, which must
// end by asking for the launcher's removal. Like the launcher's entry, it
// first hands its command line to the removal helper.
#include "deleteaction.h"
#include "paths.h"
#include "processstate.h"

#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (const auto code = DeleteAction::RunRemovalHelper(::GetCommandLineW()))
        return *code;

    const auto instance = ::GetModuleHandleW(nullptr);
    Process().Instance = instance;
    if (argc == 3 && std::wcscmp(argv[1], L"--deleter") == 0) {
        wchar_t self[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        Process().TempFolder = ov::path::folder_of(self);
        if (!DeleteAction::AddFile(argv[2]))
            return 3;
        DeleteAction deleter;
        return deleter.RunDeleter(instance) ? 0 : 2;
    }
    DeleteAction::remove_self_after_exit(true);
    return 0;
}
