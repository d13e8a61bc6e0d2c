// The setup dialog as the steps that run while it may be shown see it: the
// download-mode message, the progress step of a wait, and closing it with
// the splash window. The dialog installs its operations here while it
// exists; without them (no dialog yet, silent runs) every call does nothing.
#pragma once

struct SetupDialogLink {
    // WM_USER + 1 to the dialog: on while a download or a redistributable
    // fetch drives the bar (the idle animation pauses), off when it ends.
    void (*download_mode)(bool on) noexcept = nullptr;
    // A timer tick during a wait for a child process: handles the messages
    // still waiting (process_messages), then moves the bar one step, from 0
    // again once it has reached 100.
    void (*wait_tick)() noexcept = nullptr;
    // Closes the setup dialog and the splash window.
    void (*close)() noexcept = nullptr;
};

// Installs the dialog's operations; an empty link removes them.
void SetSetupDialogLink(const SetupDialogLink& link) noexcept;

void SetupDialogDownloadMode(bool on) noexcept;
void SetupDialogWaitTick() noexcept;
void CloseSetupDialog() noexcept;
