// Creating the launcher's dialogs from its resource templates, honouring the
// silent and automatic modes.
#pragma once

#include <windows.h>

class SetupContext;

namespace dialog_flags {
inline constexpr unsigned keep_template_font = 1;
inline constexpr unsigned even_when_silent = 2;
} // namespace dialog_flags

// Runs a modal dialog from template `templateId`. When the run is silent or
// automatic and `even_when_silent` is not given nothing is created and
// `defaultAnswer` is returned. A template missing from the resources answers -1.
INT_PTR run_dialog(const SetupContext& context, int templateId, HWND owner, DLGPROC procedure, LPARAM parameter,
                   INT_PTR defaultAnswer, unsigned flags) noexcept;

// The modeless form: the window, or null when silent or on failure.
HWND create_dialog(const SetupContext& context, int templateId, HWND owner, DLGPROC procedure, LPARAM parameter,
                   unsigned flags) noexcept;
