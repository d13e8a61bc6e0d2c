#include "errordialog.h"

#include "dialogs.h"
#include "resource.h"
#include "setuplog.h"

namespace {

// Texts are cut to what the dialog has room for.
constexpr size_t kMaxText = 1023;

RestartHandler g_restart = nullptr;

} // namespace

void SetRestartHandler(RestartHandler handler) noexcept
{
    g_restart = handler;
}

bool ErrorDialog::show_error_text(std::wstring_view text, bool restart)
{
    if (ov::log::is_enabled())
        log_message(OV_HERE, L"%s", text);
    text_.assign(text.substr(0, kMaxText));
    restart_ = restart;
    const INT_PTR answer =
        run_dialog(texts_, IDD_ERROR, nullptr, &ErrorDialog::procedure, reinterpret_cast<LPARAM>(this), 1, 0);
    return answer == 1 || answer == IDC_RESTART;
}

bool ErrorDialog::show_message(unsigned id, bool restart)
{
    return show_error_text(texts_.LoadString(id), restart);
}

bool ErrorDialog::show_error_code(unsigned id)
{
    std::wstring text = texts_.LoadString(id);
    if (text.empty())
        text = texts_.LoadString(IDS_INTERNAL_ERROR);
    return show_error_text(ov::format(L"%d: %s", id, text), false);
}

void ErrorDialog::on_init(HWND window) noexcept
{
    try {
        const std::wstring title = texts_.WindowTitle(false);
        ::SetWindowTextW(window, title.c_str());
        ::SetDlgItemTextW(window, IDC_ERROR_TEXT, text_.c_str());
        const HWND ok = ::GetDlgItem(window, IDOK);
        const HWND restartButton = ::GetDlgItem(window, IDC_RESTART);
        if (restart_) {
            ::ShowWindow(ok, SW_HIDE);
            ::SetWindowTextW(restartButton, texts_.LoadString(IDS_RESTART).c_str());
            ::SetFocus(restartButton);
        } else {
            ::ShowWindow(restartButton, SW_HIDE);
            ::SetWindowTextW(ok, texts_.LoadString(IDS_OK).c_str());
        }
        ::SetForegroundWindow(window);
    } catch (...) {
    }
}

INT_PTR CALLBACK ErrorDialog::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    switch (message) {
    case WM_INITDIALOG: {
        auto* self = reinterpret_cast<ErrorDialog*>(lParam);
        ::SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->on_init(window);
        return TRUE;
    }
    case WM_COMMAND: {
        const WORD command = LOWORD(wParam);
        if (command == IDOK) {
            auto* self = reinterpret_cast<ErrorDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
            // Enter reaches the dialog as IDOK even when only Restart is shown.
            if (self && self->restart_) {
                if (g_restart)
                    g_restart();
                ::EndDialog(window, IDC_RESTART);
            } else {
                ::EndDialog(window, 1);
            }
            return TRUE;
        }
        if (command == IDC_RESTART) {
            if (g_restart)
                g_restart();
            ::EndDialog(window, IDC_RESTART);
            return TRUE;
        }
        // Every other command, Esc's IDCANCEL included, is ignored.
        return TRUE;
    }
    default:
        return FALSE;
    }
}
