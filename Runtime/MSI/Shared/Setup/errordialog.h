// The launcher's error dialog: one message and either an OK or a "Restart
// System" button, titled with the window title. In silent and automatic runs
// nothing is shown and every call answers as if the dialog had been closed.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "ov_format.h"
#include "setupcontext.h"

class ErrorDialog {
public:
    explicit ErrorDialog(const SetupContext& texts) noexcept : texts_(texts) {}
    virtual ~ErrorDialog() = default;

    // Shows `text`; true when the dialog was closed with its button (and when
    // nothing was shown in a silent run).
    bool show_error_text(std::wstring_view text, bool restart = false);
    // Shows string `id` as it is.
    bool show_message(unsigned id, bool restart = false);
    // Shows "<id>: <string id>" (string 1156 when `id` has no text).
    bool show_error_code(unsigned id);
    // Shows "<id>: <string id>" used as a format for the values.
    template <typename... Args>
    bool show_error(unsigned id, const Args&... values)
    {
        const std::wstring text = ov::format(ov::format(L"%d: %s", id, texts_.LoadString(id)), values...);
        return show_error_text(text, false);
    }

private:
    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    void on_init(HWND window) noexcept;

    const SetupContext& texts_;
    std::wstring text_;
    bool restart_ = false;
};

// Restarts the computer; installed by the restart logic, empty until then.
using RestartHandler = void (*)();
void SetRestartHandler(RestartHandler handler) noexcept;
