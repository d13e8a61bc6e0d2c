// The download manager: fetches one file from a URL (HTTP, HTTPS or FTP)
// into a local path, or copies it from a UNC path. The transfer runs on a
// worker thread while the calling thread keeps dispatching its window
// messages (the setup dialog stays alive and serves the worker's sent
// messages). Progress goes to an IDownloadProgressHandler; CDownload is the
// launcher's handler, which moves the setup dialog's bar and shows the
// amount, the rate and the time left.
//
// The file is written under a temporary name beside the target and renamed
// to the target only when it is complete. A failed or cancelled download
// leaves nothing behind and never touches a file already at the target.
#pragma once

#include "inet.h"
#include "inetlogic.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

class SetupContext;

// The record a transfer fills and its handler reads.
struct DownloadProgress {
    HRESULT result = S_OK;     // 0, or the error of the last failure
    std::int64_t received = 0; // bytes written so far
    std::int64_t total = -1;   // the size the server gave, -1 when unknown
};

// Answers of the handler operations.
inline constexpr int kDownloadGoOn = 1;
inline constexpr int kDownloadStop = 2;

class IDownloadProgressHandler {
public:
    virtual ~IDownloadProgressHandler() = default;
    // Once, after the remote file was opened and sized; the answer is ignored.
    virtual int on_start(DownloadProgress& progress) noexcept = 0;
    // After every block written: kDownloadGoOn, or anything else to cancel.
    virtual int on_progress(DownloadProgress& progress) noexcept = 0;
    // When a step fails: kDownloadGoOn to try the step again (within a
    // limit), anything else to stop with the error.
    virtual int on_error(DownloadProgress& progress) noexcept = 0;
    // Once at the end of a transfer that got past opening; ignored.
    virtual int on_complete(DownloadProgress& progress) noexcept = 0;
};

// How a download talks to the server.
struct DownloadOptions {
    DWORD timeout_ms = ov::inet::default_timeout_ms;
    // Decides after failures; null leaves it to WinInet's error dialog
    // where that may be shown, else failures are tried again to the limit.
    ov::inet_error_handler* error_handler = nullptr;
    // Whether WinInet's error dialog may be shown; unset: only when the run
    // is interactive (neither silent nor automatic).
    std::optional<bool> error_dialog;
    std::wstring agent = L"ovagent";
};

// Runs one transfer of `url` into `target` on the calling thread (the
// download's worker thread): open, size, create the temporary file, read
// and write in blocks, rename into place. Answers S_OK when the target is
// in place, HRESULT_FROM_WIN32(ERROR_CANCELLED) when the handler or
// `abort_event` (may be null) cancelled, else the error. The handler is
// called on this thread.
[[nodiscard]] HRESULT TransferUrlToFile(const std::wstring& url, const std::wstring& target,
                                        IDownloadProgressHandler& handler, HANDLE abort_event,
                                        const DownloadOptions& options) noexcept;

// What CDownload shows in the setup dialog.
class DownloadView {
public:
    virtual ~DownloadView() = default;
    // Moves the bar to `percent`; answers whether the user has cancelled.
    [[nodiscard]] virtual bool set_progress(int percent) noexcept = 0;
    virtual void set_time_text(const std::wstring& text) noexcept = 0; // control 1004
    virtual void set_rate_text(const std::wstring& text) noexcept = 0; // control 1005
};

// The setup dialog's own controls: the bar 301 (moved only when the
// percentage changes), the texts 1004 and 1005 (WM_SETTEXT). Messages are
// sent, so that from the worker thread the dialog's thread serves them in
// its wait. The answer is the launcher's cancelled flag.
class DialogDownloadView final : public DownloadView {
public:
    static constexpr int kProgressBar = 301;
    static constexpr int kTimeText = 1004;
    static constexpr int kRateText = 1005;

    explicit DialogDownloadView(HWND dialog) noexcept : dialog_(dialog) {}
    [[nodiscard]] bool set_progress(int percent) noexcept override;
    void set_time_text(const std::wstring& text) noexcept override;
    void set_rate_text(const std::wstring& text) noexcept override;

private:
    HWND dialog_;
    int shown_percent_ = -1;
};

// The launcher's download handler.
class CDownload : public IDownloadProgressHandler {
public:
    // `texts` gives the progress texts in the setup language (null: the
    // launcher's built-in strings); `view` shows them (null: nothing is
    // shown and only the cancelled flag is polled).
    explicit CDownload(const SetupContext* texts, DownloadView* view = nullptr);
    ~CDownload() override = default;
    CDownload(const CDownload&) = delete;
    CDownload& operator=(const CDownload&) = delete;

    void set_options(DownloadOptions options) { options_ = std::move(options); }

    // Fetches `source` into `target`, blocking until the transfer ends while
    // dispatching this thread's messages. A source that begins with two
    // backslashes is copied instead. True only when the target is in place;
    // a cancel answers false with cancelled() set. The target is registered
    // with the deleter.
    [[nodiscard]] bool download(const std::wstring& source, const std::wstring& target) noexcept;
    [[nodiscard]] HRESULT result() const noexcept { return result_; }
    [[nodiscard]] bool cancelled() const noexcept { return result_ == HRESULT_FROM_WIN32(ERROR_CANCELLED); }
    [[nodiscard]] const std::wstring& source() const noexcept { return source_; }

    int on_start(DownloadProgress& progress) noexcept override;
    int on_progress(DownloadProgress& progress) noexcept override;
    int on_error(DownloadProgress& progress) noexcept override;
    int on_complete(DownloadProgress& progress) noexcept override;

private:
    ov::inet::ProgressCalculator calculator_;
    DWORD last_time_update_ = 0;
    std::wstring source_;
    std::wstring target_;
    DownloadView* view_;
    DownloadOptions options_;
    HRESULT result_ = S_OK;
};

// For file retrieval: downloads `url` into `target` (UNC sources copied)
// on a worker thread while this thread dispatches its messages; `progress`
// may be null (then only the cancelled flag is polled). True when the target
// is in place (and registered with the deleter); else `result` holds the
// error: 0x8004D3C0 + status for HTTP failures, 0x80070000 | code for
// Windows and WinInet errors, HRESULT_FROM_WIN32(ERROR_CANCELLED) when the
// user cancelled (the cancelled flag tells the caller not to ask again).
[[nodiscard]] bool DownloadUrlToFile(const std::wstring& url, const std::wstring& target,
                                     IDownloadProgressHandler* progress, HRESULT& result,
                                     const DownloadOptions& options = {}) noexcept;

// WinInet is at least 4.70.0.1300 (Internet Explorer 3.02), read from the
// version resource of WinInet.dll.
[[nodiscard]] bool IsWinInetRecentEnough() noexcept;

// After a failed download: logs "DownloadFiles: <message 1614>" and asks
// Retry/Cancel (Cancel when no dialog may be shown). True for Retry.
[[nodiscard]] bool AskRetryDownload(const SetupContext& context, const std::wstring& url, HWND owner = nullptr);
