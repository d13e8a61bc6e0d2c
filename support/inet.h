// The launcher's transport for files on web and FTP servers: WinInet, bound
// by name at run time, wrapped in a session, a context object per WinInet
// handle, and remote files that are opened by URL, sized, positioned and
// read like local ones.
//
// Everything runs asynchronously: each wait pumps the calling thread's
// window messages (a dialog on that thread stays alive), ends after the
// file's time-out, and ends at once when the owner's abort event is set.
// WinInet's callback threads only store values in the context object of
// the handle concerned and set its events.
//
// A context object lives while its owner or WinInet holds it: WinInet's
// reference is taken when it reports the handle created and dropped when it
// reports the handle closing, which is its last word about that handle. A
// request that is abandoned (a time-out, a resume, a cancel) keeps its own
// context, read buffer included, until WinInet lets go of it, so a late
// completion can neither write into the caller's memory nor wake the next
// request: every request gets a fresh context.
#pragma once

#include "inetlogic.h"
#include "ov_file.h"
#include "ov_handles.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace ov {

// True when wininet.dll is loaded (it is loaded by name on first use).
[[nodiscard]] bool wininet_loaded() noexcept;

// One WinInet session (InternetOpenW, asynchronous), shared by copies: the
// last copy to go closes it.
class inet_session {
public:
    inet_session() noexcept = default;
    // Opens a session; INTERNET_FLAG_ASYNC is always added. An empty
    // session (false) when WinInet refuses; the thread's last error says why.
    [[nodiscard]] static inet_session open(const std::wstring& agent, DWORD access_type, const wchar_t* proxy,
                                           const wchar_t* bypass, DWORD flags) noexcept;
    [[nodiscard]] void* handle() const noexcept;
    [[nodiscard]] explicit operator bool() const noexcept { return handle() != nullptr; }
    [[nodiscard]] long use_count() const noexcept { return state_.use_count(); }

private:
    struct state;
    std::shared_ptr<state> state_;
};

// The context object WinInet passes back for one handle (see above).
class wininet_async_handle {
public:
    // A new context holding one reference, the caller's. Null when memory
    // or an event cannot be had. `takes_completion_value`: the byte count of
    // a read may arrive in the completion record (FTP).
    [[nodiscard]] static wininet_async_handle* create(DWORD timeout_ms, bool takes_completion_value = false) noexcept;

    void add_ref() noexcept;
    void release() noexcept;

    [[nodiscard]] void* handle() const noexcept { return handle_.load(); }
    // Takes a handle a call returned at once (WinInet may report it created
    // before or after that).
    void adopt(void* handle) noexcept;
    // Clears the completed event, the last error and the completion value
    // before an asynchronous call.
    void prepare() noexcept;
    // After a failed call that answered `call_error`: 0 counts as done,
    // anything but ERROR_IO_PENDING as failed; else waits for the completion
    // within the time-out, pumping messages. A time-out (12002) or an abort
    // (1223) closes the handle unless `keep_open`. Answers whether the
    // operation succeeded; last_error() says why not.
    [[nodiscard]] bool wait_for_completion(DWORD call_error, bool keep_open) noexcept;
    // InternetCloseHandle; the handle is forgotten. WinInet's reference goes
    // with its closing notice.
    void close() noexcept;

    [[nodiscard]] DWORD last_error() const noexcept { return last_error_.load(); }
    void set_last_error(DWORD error) noexcept { last_error_.store(error); }
    [[nodiscard]] DWORD timeout() const noexcept { return timeout_; }
    // Not owned; when set, waits end with 1223 (cancelled).
    void set_abort_event(HANDLE event) noexcept { abort_event_ = event; }

    // The buffer a read fills and the count it stores; both stay with this
    // object for as long as WinInet may write to them. Null when memory is short.
    [[nodiscard]] char* read_buffer(std::size_t size) noexcept;
    [[nodiscard]] DWORD* read_count() noexcept { return &read_count_; }
    // True when a wait gave up on an operation before WinInet reported the
    // handle created: WinInet may still complete it with no reference held,
    // so the owner must not free this object.
    [[nodiscard]] bool abandoned_unowned() const noexcept { return abandoned_.load() && !wininet_handle_.load(); }

    // The one status callback of every handle the launcher opens.
    static void CALLBACK status_callback(void* handle, DWORD_PTR context, DWORD status, void* info,
                                         DWORD length) noexcept;

    wininet_async_handle(const wininet_async_handle&) = delete;
    wininet_async_handle& operator=(const wininet_async_handle&) = delete;

private:
    wininet_async_handle(DWORD timeout_ms, bool takes_completion_value) noexcept;
    ~wininet_async_handle();
    void on_created(void* handle) noexcept;
    void on_closing(void* handle) noexcept;
    void on_complete(DWORD_PTR result, DWORD error) noexcept;
    void take_completion_value(DWORD value) noexcept;

    std::atomic<void*> handle_{nullptr};
    std::atomic<void*> wininet_handle_{nullptr}; // the handle whose notices hold WinInet's reference
    std::atomic<DWORD> last_error_{0};
    std::atomic<long> references_{1};
    unique_handle completed_;
    unique_handle closing_;
    HANDLE abort_event_ = nullptr;
    DWORD timeout_;
    bool takes_completion_value_;
    std::unique_ptr<char[]> buffer_;
    std::size_t buffer_size_ = 0;
    DWORD read_count_ = 0;
    std::atomic<DWORD> pending_size_{0}; // size of the read under way, 0 when none
    std::atomic<bool> abandoned_{false};
};

// An owning reference to a context: letting go closes the handle first.
class async_handle_ptr {
public:
    async_handle_ptr() noexcept = default;
    explicit async_handle_ptr(wininet_async_handle* context) noexcept : context_(context) {}
    async_handle_ptr(const async_handle_ptr&) = delete;
    async_handle_ptr& operator=(const async_handle_ptr&) = delete;
    async_handle_ptr(async_handle_ptr&& other) noexcept : context_(std::exchange(other.context_, nullptr)) {}
    async_handle_ptr& operator=(async_handle_ptr&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.context_, nullptr));
        return *this;
    }
    ~async_handle_ptr() { reset(); }
    void reset(wininet_async_handle* context = nullptr) noexcept;
    [[nodiscard]] wininet_async_handle* get() const noexcept { return context_; }
    [[nodiscard]] wininet_async_handle* operator->() const noexcept { return context_; }
    [[nodiscard]] explicit operator bool() const noexcept { return context_ != nullptr; }
    [[nodiscard]] void* handle() const noexcept { return context_ ? context_->handle() : nullptr; }

private:
    wininet_async_handle* context_ = nullptr;
};

class inet_file;

// Decides what happens after a failure of a remote file. Answers
// inet::retry_code to try again, inet::cancel_code to give up; anything else
// leaves the decision to WinInet's error dialog (when the file may show it).
class inet_error_handler {
public:
    virtual ~inet_error_handler() = default;
    [[nodiscard]] virtual DWORD decide(inet_file& file) noexcept = 0;
};

// A file on a server. Nothing is sent by `open`; `size`, `last_modified`,
// `seek` and `read` send a request when none is open. A read that fails is
// tried again (up to inet::retry_limit times, as the error decision allows)
// from the position reached, with a byte range; data a response carries
// before that position is skipped, and a response that ends before its
// announced length counts as failed, never as the end of the file.
class inet_file {
public:
    virtual ~inet_file();
    inet_file(const inet_file&) = delete;
    inet_file& operator=(const inet_file&) = delete;

    // Prepares the URL (canonical form); `headers` may be null. False when
    // the session could not be opened or the URL not canonicalised.
    [[nodiscard]] bool open(const std::wstring& url, const wchar_t* headers, DWORD flags) noexcept;
    // Byte count of the file, -1 when unknown. An HTTP request sent for it
    // stays open: the data that follows comes with it.
    [[nodiscard]] virtual std::int64_t size() noexcept = 0;
    // Origin 0 from the start, 1 from the position, 2 from the end; the new
    // position, or -1 (always for FTP).
    [[nodiscard]] virtual std::int64_t seek(std::int64_t offset, int origin) noexcept = 0;
    [[nodiscard]] virtual bool last_modified(FILETIME& time) noexcept = 0;
    // Fills `buffer` with up to `length` bytes; fewer only at the end of the
    // data. False on failure; last_error() and the thread's last error say why.
    [[nodiscard]] bool read(void* buffer, DWORD length, DWORD& count) noexcept;
    // Closes the request and forgets the URL; the session stays.
    void close() noexcept;

    void set_error_handler(inet_error_handler* handler) noexcept { handler_ = handler; }
    // Whether WinInet's error dialog may be shown when no handler decides
    // (never in silent runs). Without it a failure is tried again.
    void set_error_dialog_allowed(bool allowed) noexcept { dialog_allowed_ = allowed; }
    // Not owned. When set, waits end at once and the operation fails with 1223.
    void set_abort_event(HANDLE event) noexcept { abort_event_ = event; }

    [[nodiscard]] DWORD last_error() const noexcept { return last_error_; }
    [[nodiscard]] const std::wstring& url() const noexcept { return url_; }
    [[nodiscard]] std::int64_t position() const noexcept { return position_; }
    [[nodiscard]] DWORD timeout() const noexcept { return timeout_; }
    // The open request's handle (null when none), for a handler that changes
    // its options (InternetSetOptionW) before answering retry.
    [[nodiscard]] void* request_handle() const noexcept { return request_.handle(); }
    // Requests sent so far (each attempt and each resume counts).
    [[nodiscard]] int requests_sent() const noexcept { return requests_sent_; }

protected:
    // The session a file opens its requests in, or why there is none.
    struct session_choice {
        inet_session session;
        DWORD error = 0;
        bool shared = false; // the process-wide session of HTTP files
    };
    inet_file(session_choice session, DWORD timeout_ms, bool ftp) noexcept;
    // A session of its own, or for HTTP files the process-wide one when
    // WinInet is version 1.1 (which wants one session for all of them).
    [[nodiscard]] static session_choice choose_session(const std::wstring& agent, DWORD access_type,
                                                       const wchar_t* proxy, const wchar_t* bypass, DWORD flags,
                                                       bool http) noexcept;

    // Sends the request when none is open, trying again as decided.
    [[nodiscard]] bool send_with_retries() noexcept;
    // The HTTP status test after a response arrived; FTP has none.
    [[nodiscard]] virtual bool check_status() noexcept { return true; }
    [[nodiscard]] DWORD decide_on_error() noexcept;
    // Records a failure: the file's and the thread's last error. Answers false.
    bool fail(DWORD error) noexcept;
    void close_request() noexcept;
    // A header of the open request as text (HttpQueryInfoW).
    [[nodiscard]] bool query_text(DWORD info, std::wstring& text) noexcept;
    [[nodiscard]] bool aborted() const noexcept;
    [[nodiscard]] bool is_open() const noexcept { return !url_.empty(); }

    std::int64_t range_start_ = 0;
    std::int64_t position_ = 0;
    std::int64_t known_size_ = -1; // the file's size when found out (FTP's directory entry)
    std::uint32_t status_ = 0;     // HTTP status of the open request
    DWORD last_error_ = 0;
    bool shared_session_ = false;
    async_handle_ptr request_;

private:
    [[nodiscard]] bool send_request(bool retrying) noexcept;
    [[nodiscard]] bool open_url(DWORD& error) noexcept;
    [[nodiscard]] bool after_response() noexcept;
    [[nodiscard]] bool read_loop(char* out, DWORD length, DWORD& count) noexcept;
    [[nodiscard]] async_handle_ptr new_context() noexcept;

    inet_session session_;
    DWORD session_error_;
    DWORD timeout_;
    bool ftp_;
    std::wstring url_;
    std::wstring extra_headers_;
    std::wstring headers_;
    DWORD flags_ = 0;
    std::int64_t skip_ = 0;          // bytes of the response before the wanted position
    std::int64_t expected_end_ = -1; // where the response's data must end, -1 when unknown
    inet::rate_meter meter_;
    std::uint64_t frequency_ = 1000;
    bool high_resolution_ = false;
    DWORD autodial_flags_ = 1;
    inet_error_handler* handler_ = nullptr;
    bool dialog_allowed_ = true;
    HANDLE abort_event_ = nullptr;
    async_handle_ptr connection_; // HTTPS: the connection kept per host
    std::wstring connected_host_;
    int requests_sent_ = 0;
};

// A file on a web server (http:// or https://).
class http_file final : public inet_file {
public:
    // The downloader uses agent "ovagent", ov::file "toys::file"; time-out
    // 30000 ms, pre-configured access (0), no proxy, no flags.
    explicit http_file(const std::wstring& agent = L"ovagent", DWORD timeout_ms = inet::default_timeout_ms,
                       DWORD access_type = 0, const wchar_t* proxy = nullptr, const wchar_t* bypass = nullptr,
                       DWORD flags = 0) noexcept;
    ~http_file() override;

    [[nodiscard]] std::int64_t size() noexcept override;
    [[nodiscard]] std::int64_t seek(std::int64_t offset, int origin) noexcept override;
    [[nodiscard]] bool last_modified(FILETIME& time) noexcept override;

    [[nodiscard]] bool uses_shared_session() const noexcept { return shared_session_; }

protected:
    [[nodiscard]] bool check_status() noexcept override;
};

// A file on an FTP server. Size and time come from its directory entry.
class ftp_file final : public inet_file {
public:
    explicit ftp_file(const std::wstring& agent = L"ovagent", DWORD timeout_ms = inet::default_timeout_ms,
                      DWORD access_type = 0, const wchar_t* proxy = nullptr, const wchar_t* bypass = nullptr,
                      DWORD flags = 0) noexcept;

    [[nodiscard]] std::int64_t size() noexcept override;
    [[nodiscard]] std::int64_t seek(std::int64_t offset, int origin) noexcept override;
    [[nodiscard]] bool last_modified(FILETIME& time) noexcept override;

private:
    [[nodiscard]] bool directory_entry() noexcept;

    std::wstring agent_;
    DWORD access_type_;
    std::wstring proxy_, bypass_;
    bool entry_read_ = false;
    FILETIME time_ = {};
};

// ov::file over an http_file (agent "toys::file"): what ov::open_file
// answers for "http://" and "https://" paths. Reading, sizing and seeking
// go to the server; failures throw ov::internet_file_exception with the URL.
class remote_file final : public file {
public:
    // Throws ov::internet_file_exception when the URL cannot be prepared.
    explicit remote_file(const std::wstring& url);
    ~remote_file() override;

    [[nodiscard]] std::size_t read(void* buffer, std::size_t size) override;
    void write(const void* data, std::size_t size) override;
    [[nodiscard]] std::uint64_t size() const override;
    std::uint64_t seek(std::int64_t offset, DWORD origin = FILE_BEGIN) override;
    void flush() override;
    void close() noexcept override;

private:
    [[noreturn]] void raise(DWORD error) const;

    std::unique_ptr<http_file> remote_;
    std::wstring url_;
};

// For ov::open_file: a remote file for a web address.
[[nodiscard]] std::unique_ptr<file> open_remote_file(const std::wstring& url);

namespace detail {
// Walks a loaded module's image and overwrites the first character of every
// UTF-16 occurrence of `text` with '*' (making each page writable for the
// moment). Answers how many were changed. WinInet is kept from loading the
// RPAWINET.DLL plug-in this way when that plug-in is on the search path.
std::size_t blank_module_text(HMODULE module, const wchar_t* text) noexcept;
} // namespace detail

} // namespace ov
