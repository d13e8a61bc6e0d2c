#include "download.h"

#include "deleteaction.h"
#include "ov_exceptions.h"
#include "ov_format.h"
#include "ov_version.h"
#include "processstate.h"
#include "resource.h"
#include "setupcontext.h"
#include "setuplog.h"
#include "versions.h"

#include <commctrl.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

// The thread message the setup dialog's Cancel button posts to the
// launcher's thread: it aborts a transfer stuck inside the network.
constexpr UINT kCancelThreadMessage = 0x8032;
// Creating the temporary file: attempts, and the pause between them.
constexpr int kCreateAttempts = 4;
constexpr DWORD kCreatePauseMs = 500;
constexpr int kDeleteAttempts = 100;

const HRESULT kCancelled = HRESULT_FROM_WIN32(ERROR_CANCELLED);

HRESULT hresult_of(DWORD error) noexcept
{
    return static_cast<HRESULT>(ov::inet::hresult_of(error));
}

// A name beside the target that no other download uses.
std::wstring temporary_name(const std::wstring& target)
{
    static std::atomic<unsigned> counter{0};
    return target + ov::format(L".%x-%x.part", ::GetCurrentProcessId(), counter++);
}

void delete_file(const std::wstring& path) noexcept
{
    for (int i = 0; i < kDeleteAttempts; ++i) {
        if (::DeleteFileW(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND)
            return;
    }
}

// Creates the temporary file, trying again when it is in use for a moment.
ov::unique_hfile create_temporary(const std::wstring& target, std::wstring& temporary, DWORD& error)
{
    error = 0;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (attempt > 0)
            ::Sleep(kCreatePauseMs);
        temporary = temporary_name(target);
        ov::unique_hfile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file)
            return file;
        error = ov::last_error_or();
    }
    temporary.clear();
    return {};
}

bool write_all(HANDLE file, const char* data, DWORD size, DWORD& error) noexcept
{
    DWORD done = 0;
    while (done < size) {
        DWORD written = 0;
        if (!::WriteFile(file, data + done, size - done, &written, nullptr)) {
            error = ov::last_error_or();
            return false;
        }
        if (written == 0) {
            error = ERROR_WRITE_FAULT;
            return false;
        }
        done += written;
    }
    return true;
}

// Writes one block at a time on a thread of its own, so that the next block
// is read meanwhile. Without that thread (it could not be started) each
// block is written at once by submit.
class block_writer {
public:
    explicit block_writer(HANDLE file) noexcept : file_(file)
    {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            // Written inline instead.
        }
    }
    ~block_writer()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    block_writer(const block_writer&) = delete;
    block_writer& operator=(const block_writer&) = delete;

    // Hands over a block; the previous one must have been waited for.
    void submit(const char* data, DWORD size) noexcept
    {
        if (!thread_.joinable()) {
            ok_ = write_all(file_, data, size, error_);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            data_ = data;
            size_ = size;
            busy_ = true;
        }
        wake_.notify_all();
    }
    // Waits until the block handed over is written; false with `error`.
    [[nodiscard]] bool wait(DWORD& error) noexcept
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return !busy_; });
        error = error_;
        return ok_;
    }

private:
    void run() noexcept
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return busy_ || quit_; });
            if (busy_) {
                const char* data = data_;
                const DWORD size = size_;
                lock.unlock();
                DWORD error = 0;
                const bool ok = write_all(file_, data, size, error);
                lock.lock();
                ok_ = ok;
                error_ = error;
                busy_ = false;
                done_.notify_all();
            } else if (quit_) {
                return;
            }
        }
    }

    HANDLE file_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const char* data_ = nullptr;
    DWORD size_ = 0;
    bool busy_ = false, quit_ = false, ok_ = true;
    DWORD error_ = 0;
    std::thread thread_; // last: started when everything it uses exists
};

bool is_set(HANDLE event) noexcept
{
    return event && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

bool error_dialog_wanted(const DownloadOptions& options) noexcept
{
    if (options.error_dialog)
        return *options.error_dialog;
    const SetupContext* context = Process().Context;
    return context && context->Interactive();
}

// The error of a size that could not be had: the status error when the
// server answered with one, the "not found" status when it gave no usable
// length, otherwise what went wrong on the way.
HRESULT size_failure(DWORD error) noexcept
{
    if (error == 0 || error == ov::inet::header_not_found_code || error == ERROR_INVALID_DATA)
        return static_cast<HRESULT>(ov::inet::size_unknown_error);
    return hresult_of(error);
}

} // namespace

// ---------------------------------------------------------------------------
// The transfer

HRESULT TransferUrlToFile(const std::wstring& url, const std::wstring& target, IDownloadProgressHandler& handler,
                          HANDLE abort_event, const DownloadOptions& options) noexcept
{
    DownloadProgress progress;
    try {
        const bool ftp = ov::inet::scheme_of(url) == ov::inet::scheme::ftp;
        const std::wstring referer = ov::inet::referer_header(url);
        std::unique_ptr<ov::inet_file> remote;
        if (ftp)
            remote = std::make_unique<ov::ftp_file>(options.agent, options.timeout_ms);
        else
            remote = std::make_unique<ov::http_file>(options.agent, options.timeout_ms);
        remote->set_error_handler(options.error_handler);
        remote->set_error_dialog_allowed(error_dialog_wanted(options));
        remote->set_abort_event(abort_event);

        if (!remote->open(url, referer.empty() ? nullptr : referer.c_str(), ov::inet::open_flags)) {
            progress.result = hresult_of(remote->last_error());
            log_message(OV_HERE, L"Cannot open '%s': 0x%08x", url, static_cast<std::uint32_t>(progress.result));
            handler.on_error(progress);
            return progress.result;
        }

        progress.total = remote->size();
        const DWORD size_error = progress.total < 0 ? remote->last_error() : 0;
        handler.on_start(progress);
        bool cancelled = size_error == ov::inet::cancel_code || is_set(abort_event);
        bool failed = false;
        if (!cancelled && !ftp && progress.total <= 0) {
            progress.result = size_failure(size_error);
            log_message(OV_HERE, L"No size for '%s': 0x%08x", url, static_cast<std::uint32_t>(progress.result));
            handler.on_error(progress);
            failed = true;
        }

        std::wstring temporary;
        ov::unique_hfile out;
        if (!cancelled && !failed) {
            DWORD error = 0;
            out = create_temporary(target, temporary, error);
            if (!out) {
                progress.result = hresult_of(error);
                log_message(OV_HERE, L"Cannot create a file beside '%s': %u", target, error);
                handler.on_error(progress);
                failed = true;
            } else {
                // Should the process end on the way, the deleter still finds it.
                (void)DeleteAction::AddFile(temporary);
            }
        }

        if (!cancelled && !failed) {
            // Two blocks: one is read while the other is written.
            std::vector<char> blocks[2] = {std::vector<char>(ov::inet::max_block),
                                           std::vector<char>(ov::inet::max_block)};
            int current = 0;
            DWORD in_flight = 0; // size of the block being written, the other one
            std::uint32_t block = ov::inet::min_block;
            int failures = 0;
            block_writer writer(out.get());

            // Waits for the block being written; a failed write is written
            // again from the end of what was written whole (going on with
            // the next block would leave a hole in the file).
            const auto finish_write = [&]() -> bool {
                if (in_flight == 0)
                    return true;
                DWORD error = 0;
                while (!writer.wait(error)) {
                    progress.result = hresult_of(error);
                    LARGE_INTEGER whole = {};
                    whole.QuadPart = progress.received;
                    if (handler.on_error(progress) != kDownloadGoOn || ++failures >= ov::inet::max_failed_steps ||
                        !::SetFilePointerEx(out.get(), whole, nullptr, FILE_BEGIN) || !::SetEndOfFile(out.get())) {
                        failed = true;
                        in_flight = 0;
                        return false;
                    }
                    writer.submit(blocks[1 - current].data(), in_flight);
                }
                progress.received += in_flight;
                in_flight = 0;
                failures = 0;
                progress.result = S_OK;
                if (handler.on_progress(progress) != kDownloadGoOn || is_set(abort_event)) {
                    cancelled = true;
                    return false;
                }
                return true;
            };

            for (;;) {
                const DWORD before = ::GetTickCount();
                DWORD got = 0;
                if (!remote->read(blocks[current].data(), block, got)) {
                    const DWORD error = remote->last_error();
                    if (error == ov::inet::cancel_code || is_set(abort_event)) {
                        cancelled = true;
                        break;
                    }
                    progress.result = hresult_of(error);
                    if (handler.on_error(progress) != kDownloadGoOn || ++failures >= ov::inet::max_failed_steps) {
                        failed = true;
                        break;
                    }
                    continue; // the next read asks for the data from where we are
                }
                if (!finish_write())
                    break;
                if (got == 0) {
                    // The end of the data must be the announced end.
                    if (progress.total > 0 && progress.received != progress.total) {
                        progress.result = hresult_of(ov::inet::connection_reset_code);
                        log_message(OV_HERE, L"'%s' ended after %d of %d bytes", url, progress.received,
                                    progress.total);
                        handler.on_error(progress);
                        failed = true;
                    }
                    break;
                }
                writer.submit(blocks[current].data(), got);
                in_flight = got;
                current = 1 - current;
                block = ov::inet::next_block_size(block, ::GetTickCount() - before);
            }
            if (in_flight != 0) {
                DWORD ignored = 0;
                (void)writer.wait(ignored); // stopped on the way: the file goes anyway
            }
        }

        out.reset();
        remote.reset();
        if (!cancelled && !failed && !temporary.empty()) {
            if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
                const DWORD error = ov::last_error_or();
                progress.result = hresult_of(error);
                log_message(OV_HERE, L"Cannot put the download in place as '%s': %u", target, error);
                handler.on_error(progress);
                failed = true;
            }
        }
        if ((cancelled || failed) && !temporary.empty())
            delete_file(temporary);
        if (cancelled)
            progress.result = kCancelled;
        handler.on_complete(progress);
        return cancelled ? kCancelled : (failed ? (FAILED(progress.result) ? progress.result : E_FAIL) : S_OK);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// ---------------------------------------------------------------------------
// Running a transfer on its worker thread

namespace {

// What the worker thread and the waiting thread share. The worker holds a
// reference of its own, so nothing it uses is freed while it runs.
struct DownloadJob {
    IDownloadProgressHandler* handler = nullptr;
    std::wstring url;
    std::wstring target;
    DownloadOptions options;
    ov::unique_handle abort{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HRESULT result = E_FAIL;
};

DWORD WINAPI worker(void* parameter) noexcept
{
    std::unique_ptr<std::shared_ptr<DownloadJob>> job(static_cast<std::shared_ptr<DownloadJob>*>(parameter));
    DownloadJob& j = **job;
    j.result = TransferUrlToFile(j.url, j.target, *j.handler, j.abort.get(), j.options);
    return static_cast<DWORD>(j.result);
}

void dispatch_waiting_messages(HANDLE abort) noexcept
{
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.hwnd == nullptr && message.message == kCancelThreadMessage)
            ::SetEvent(abort);
        ::DispatchMessageW(&message);
    }
}

// Runs the transfer on a worker thread; this thread dispatches its messages
// (so that the worker's sent messages are served) and passes a cancel on.
HRESULT run_transfer(const std::wstring& url, const std::wstring& target, IDownloadProgressHandler& handler,
                     const DownloadOptions& options) noexcept
{
    std::shared_ptr<DownloadJob> job;
    try {
        job = std::make_shared<DownloadJob>();
        job->handler = &handler;
        job->url = url;
        job->target = target;
        job->options = options;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (!job->abort)
        return hresult_of(ov::last_error_or());
    auto* parameter = new (std::nothrow) std::shared_ptr<DownloadJob>(job);
    if (!parameter)
        return E_OUTOFMEMORY;
    ov::unique_handle thread(::CreateThread(nullptr, 0, &worker, parameter, 0, nullptr));
    if (!thread) {
        const DWORD error = ov::last_error_or();
        delete parameter;
        return hresult_of(error);
    }
    const HANDLE abort = job->abort.get();
    for (;;) {
        if (Process().Cancelled.load())
            ::SetEvent(abort);
        const HANDLE handles[] = {thread.get()};
        const DWORD result = ::MsgWaitForMultipleObjects(1, handles, FALSE, 250, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0)
            break;
        if (result == WAIT_OBJECT_0 + 1 || result == WAIT_TIMEOUT) {
            dispatch_waiting_messages(abort);
            continue;
        }
        // The wait itself failed: stop the worker and still serve its
        // messages until it has let go of everything.
        ::SetEvent(abort);
        while (::WaitForSingleObject(thread.get(), 50) == WAIT_TIMEOUT)
            dispatch_waiting_messages(abort);
        return hresult_of(ov::last_error_or());
    }
    return job->result;
}

// Copies a UNC source the same way a download arrives: under a temporary
// name first, then renamed into place.
HRESULT copy_unc(const std::wstring& source, const std::wstring& target) noexcept
{
    try {
        const std::wstring temporary = temporary_name(target);
        if (!::CopyFileW(source.c_str(), temporary.c_str(), TRUE)) {
            const DWORD error = ov::last_error_or();
            delete_file(temporary);
            return hresult_of(error);
        }
        if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            const DWORD error = ov::last_error_or();
            delete_file(temporary);
            return hresult_of(error);
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

// Handler of downloads without a dialog: goes on unless the setup was cancelled.
class SilentProgress final : public IDownloadProgressHandler {
public:
    int on_start(DownloadProgress&) noexcept override { return kDownloadGoOn; }
    int on_progress(DownloadProgress&) noexcept override
    {
        return Process().Cancelled.load() ? kDownloadStop : kDownloadGoOn;
    }
    int on_error(DownloadProgress&) noexcept override { return kDownloadGoOn; }
    int on_complete(DownloadProgress&) noexcept override { return kDownloadGoOn; }
};

HRESULT fetch(const std::wstring& source, const std::wstring& target, IDownloadProgressHandler& handler,
              const DownloadOptions& options, std::wstring& url) noexcept
{
    HRESULT result = E_FAIL;
    try {
        if (ov::inet::is_unc_source(source)) {
            url = source;
            log_message(OV_HERE, L"Copying '%s' to '%s'", source, target);
            result = copy_unc(source, target);
        } else {
            url = ov::inet::normalize_source(source);
            log_message(OV_HERE, L"Downloading '%s' to '%s'", url, target);
            result = run_transfer(url, target, handler, options);
        }
    } catch (...) {
        result = E_OUTOFMEMORY;
    }
    if (SUCCEEDED(result)) {
        (void)DeleteAction::AddFile(target);
        log_message(OV_HERE, L"Downloaded '%s'", target);
    } else {
        log_message(OV_HERE, L"Download of '%s' failed: 0x%08x", url, static_cast<std::uint32_t>(result));
    }
    return result;
}

} // namespace

// ---------------------------------------------------------------------------
// DialogDownloadView

bool DialogDownloadView::set_progress(int percent) noexcept
{
    if (dialog_ && percent != shown_percent_) {
        shown_percent_ = percent;
        ::SendDlgItemMessageW(dialog_, kProgressBar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    }
    return Process().Cancelled.load();
}

void DialogDownloadView::set_time_text(const std::wstring& text) noexcept
{
    if (dialog_)
        ::SendDlgItemMessageW(dialog_, kTimeText, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void DialogDownloadView::set_rate_text(const std::wstring& text) noexcept
{
    if (dialog_)
        ::SendDlgItemMessageW(dialog_, kRateText, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

// ---------------------------------------------------------------------------
// CDownload

namespace {

ov::inet::string_source texts_of(const SetupContext* context)
{
    if (context)
        return [context](unsigned id) { return context->LoadString(id); };
    return [](unsigned id) {
        HINSTANCE instance = static_cast<HINSTANCE>(Process().Instance);
        return LoadBuiltinString(instance ? instance : ::GetModuleHandleW(nullptr), id, 0);
    };
}

} // namespace

CDownload::CDownload(const SetupContext* texts, DownloadView* view) : calculator_(texts_of(texts)), view_(view) {}

bool CDownload::download(const std::wstring& source, const std::wstring& target) noexcept
{
    try {
        target_ = target;
    } catch (...) {
        result_ = E_OUTOFMEMORY;
        return false;
    }
    result_ = fetch(source, target, *this, options_, source_);
    return SUCCEEDED(result_);
}

int CDownload::on_start(DownloadProgress& progress) noexcept
{
    if (view_)
        (void)view_->set_progress(0);
    calculator_.start(progress.total, ::GetTickCount());
    last_time_update_ = 0;
    return kDownloadGoOn;
}

int CDownload::on_progress(DownloadProgress& progress) noexcept
{
    const DWORD now = ::GetTickCount();
    const auto figures = calculator_.compute(progress.received, now);
    bool cancelled = false;
    try {
        if (view_) {
            if (now - last_time_update_ > 1000) {
                view_->set_time_text(calculator_.time_text(figures.seconds_left));
                last_time_update_ = now;
            }
            view_->set_rate_text(calculator_.rate_text(figures.rate, progress.received, 0));
            cancelled = view_->set_progress(figures.percent);
        } else {
            cancelled = Process().Cancelled.load();
        }
    } catch (...) {
        // A text that cannot be made is not shown; the transfer goes on.
    }
    return cancelled ? kDownloadStop : kDownloadGoOn;
}

int CDownload::on_error(DownloadProgress&) noexcept
{
    return kDownloadGoOn;
}

int CDownload::on_complete(DownloadProgress&) noexcept
{
    if (view_) {
        (void)view_->set_progress(100);
        view_->set_time_text(L"");
        view_->set_rate_text(L"");
    }
    return kDownloadGoOn;
}

// ---------------------------------------------------------------------------
// For file retrieval

bool DownloadUrlToFile(const std::wstring& url, const std::wstring& target, IDownloadProgressHandler* progress,
                       HRESULT& result, const DownloadOptions& options) noexcept
{
    SilentProgress silent;
    std::wstring used;
    result = fetch(url, target, progress ? *progress : silent, options, used);
    return SUCCEEDED(result);
}

bool IsWinInetRecentEnough() noexcept
{
    try {
        const std::wstring version = ov::GetFileVersionText(L"WinInet.dll");
        return !version.empty() && CompareVersions(version, L"4.70.0.1300") <= 0;
    } catch (...) {
        return false;
    }
}

bool AskRetryDownload(const SetupContext& context, const std::wstring& url, HWND owner)
{
    const std::wstring text = ov::format(context.LoadString(IDS_DOWNLOAD_ERROR), url);
    log_message(OV_HERE, L"DownloadFiles: %s", text);
    return context.Ask(owner, text, MB_RETRYCANCEL | MB_ICONEXCLAMATION, IDCANCEL) == IDRETRY;
}
