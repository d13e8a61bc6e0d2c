#include "setupdialoglink.h"

namespace {

// Main thread only, like the dialog itself.
SetupDialogLink g_link;

} // namespace

void SetSetupDialogLink(const SetupDialogLink& link) noexcept
{
    g_link = link;
}

void SetupDialogDownloadMode(bool on) noexcept
{
    if (g_link.download_mode)
        g_link.download_mode(on);
}

void SetupDialogWaitTick() noexcept
{
    if (g_link.wait_tick)
        g_link.wait_tick();
}

void CloseSetupDialog() noexcept
{
    if (g_link.close)
        g_link.close();
}
