// Entry of the Windows unit-test programs: GoogleTest's main with the
// process-wide launcher state pointed at this program.
#include <gtest/gtest.h>
#include <windows.h>

#include "processstate.h"

int wmain(int argc, wchar_t** argv)
{
    Process().Instance = ::GetModuleHandleW(nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
