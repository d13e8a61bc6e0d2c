#include "processstate.h"

ProcessState& Process() noexcept
{
    static ProcessState state;
    return state;
}
