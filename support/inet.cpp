#include "inet.h"

#include "ov_exceptions.h"
#include "ov_string.h"
#include "processstate.h"
#include "setupcontext.h"
#include "setuplog.h"

// Types and constants only: every function is bound by name at run time.
#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace ov {

namespace {

// ---------------------------------------------------------------------------
// Binding WinInet

struct wininet_api {
    HMODULE module = nullptr;
    decltype(&::InternetOpenW) open = nullptr;
    decltype(&::InternetOpenUrlW) open_url = nullptr;
    decltype(&::InternetConnectW) connect = nullptr;
    decltype(&::InternetCrackUrlW) crack_url = nullptr;
    decltype(&::InternetCreateUrlW) create_url = nullptr;
    decltype(&::InternetGetLastResponseInfoW) last_response_info = nullptr;
    decltype(&::InternetSetOptionW) set_option = nullptr;
    decltype(&::HttpQueryInfoW) query_info = nullptr;
    decltype(&::HttpOpenRequestW) open_request = nullptr;
    decltype(&::HttpSendRequestW) send_request = nullptr;
    decltype(&::HttpSendRequestExW) send_request_ex = nullptr;
    decltype(&::HttpEndRequestW) end_request = nullptr;
    decltype(&::InternetQueryOptionW) query_option = nullptr;
    decltype(&::InternetCanonicalizeUrlW) canonicalize = nullptr;
    decltype(&::InternetGetCookieW) get_cookie = nullptr;
    decltype(&::InternetSetCookieW) set_cookie = nullptr;
    decltype(&::InternetFindNextFileW) find_next = nullptr;
    decltype(&::FtpFindFirstFileA) ftp_find_first = nullptr;
    decltype(&::InternetSetStatusCallbackW) set_status_callback = nullptr;
    decltype(&::InternetCloseHandle) close_handle = nullptr;
    decltype(&::InternetReadFile) read_file = nullptr;
    decltype(&::InternetGetConnectedState) connected_state = nullptr;
    decltype(&::InternetAutodial) autodial = nullptr;
    decltype(&::InternetErrorDlg) error_dialog = nullptr;
    decltype(&::InternetQueryDataAvailable) data_available = nullptr;
};

template <typename F>
void bind(HMODULE module, F& function, const char* name) noexcept
{
    function = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

void disable_conflicting_plugin(HMODULE wininet) noexcept;

const wininet_api& api() noexcept
{
    static const wininet_api bound = [] {
        wininet_api a;
        a.module = ::LoadLibraryW(L"wininet.dll");
        if (!a.module)
            return a;
        bind(a.module, a.open, "InternetOpenW");
        bind(a.module, a.open_url, "InternetOpenUrlW");
        bind(a.module, a.connect, "InternetConnectW");
        bind(a.module, a.crack_url, "InternetCrackUrlW");
        bind(a.module, a.create_url, "InternetCreateUrlW");
        bind(a.module, a.last_response_info, "InternetGetLastResponseInfoW");
        bind(a.module, a.set_option, "InternetSetOptionW");
        bind(a.module, a.query_info, "HttpQueryInfoW");
        bind(a.module, a.open_request, "HttpOpenRequestW");
        bind(a.module, a.send_request, "HttpSendRequestW");
        bind(a.module, a.send_request_ex, "HttpSendRequestExW");
        bind(a.module, a.end_request, "HttpEndRequestW");
        bind(a.module, a.query_option, "InternetQueryOptionW");
        bind(a.module, a.canonicalize, "InternetCanonicalizeUrlW");
        bind(a.module, a.get_cookie, "InternetGetCookieW");
        bind(a.module, a.set_cookie, "InternetSetCookieW");
        bind(a.module, a.find_next, "InternetFindNextFileW");
        bind(a.module, a.ftp_find_first, "FtpFindFirstFileA");
        bind(a.module, a.set_status_callback, "InternetSetStatusCallbackW");
        if (!a.set_status_callback)
            bind(a.module, a.set_status_callback, "InternetSetStatusCallback");
        bind(a.module, a.close_handle, "InternetCloseHandle");
        bind(a.module, a.read_file, "InternetReadFile");
        bind(a.module, a.connected_state, "InternetGetConnectedState");
        bind(a.module, a.autodial, "InternetAutodial");
        bind(a.module, a.error_dialog, "InternetErrorDlg");
        bind(a.module, a.data_available, "InternetQueryDataAvailable");
        disable_conflicting_plugin(a.module);
        return a;
    }();
    return bound;
}

// Calls a bound function, or answers its failure value: without the library
// (ERROR_MOD_NOT_FOUND) or without the function (ERROR_PROC_NOT_FOUND).
template <typename R, typename F, typename... Args>
R call(F function, R failure, Args... args) noexcept
{
    if (!api().module) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return failure;
    }
    if (!function) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return failure;
    }
    return function(args...);
}

constexpr HINTERNET no_handle = nullptr;
constexpr BOOL failed = FALSE;

// InternetGetConnectedState answers "connected" when it cannot be asked.
BOOL connected_state(DWORD* flags) noexcept
{
    if (!api().module || !api().connected_state)
        return TRUE;
    return api().connected_state(flags, 0);
}

DWORD error_dialog(HWND owner, HINTERNET request, DWORD error, DWORD flags) noexcept
{
    if (!api().module)
        return ERROR_MOD_NOT_FOUND;
    if (!api().error_dialog)
        return ERROR_PROC_NOT_FOUND;
    return api().error_dialog(owner, request, error, flags, nullptr);
}

INTERNET_STATUS_CALLBACK set_status_callback(HINTERNET handle, INTERNET_STATUS_CALLBACK callback) noexcept
{
    return call(api().set_status_callback, INTERNET_INVALID_STATUS_CALLBACK, handle, callback);
}

// ---------------------------------------------------------------------------
// The conflicting plug-in

void disable_conflicting_plugin(HMODULE wininet) noexcept
{
    wchar_t found[MAX_PATH];
    if (::SearchPathW(nullptr, L"RPAWINET.DLL", nullptr, MAX_PATH, found, nullptr) == 0)
        return;
    (void)detail::blank_module_text(wininet, L"RPAWINET.DLL");
}

// ---------------------------------------------------------------------------
// Time

std::uint32_t tick() noexcept
{
    return static_cast<std::uint32_t>(::GetTickCount());
}

// ---------------------------------------------------------------------------
// The shared session

bool shared_session_wanted() noexcept
{
    // WinInet 1.1 kept one session for all HTTP files; later versions get a
    // session per file.
    static const bool wanted = [] {
        INTERNET_VERSION_INFO version = {};
        DWORD size = sizeof version;
        if (!call(api().query_option, failed, no_handle, static_cast<DWORD>(INTERNET_OPTION_VERSION),
                  static_cast<void*>(&version), &size))
            return false;
        return version.dwMinorVersion == 1;
    }();
    return wanted;
}

std::mutex shared_mutex;
inet_session shared_session;
int shared_users = 0;

} // namespace

bool wininet_loaded() noexcept
{
    return api().module != nullptr;
}

namespace detail {

void close_hinternet(void* handle) noexcept
{
    (void)call(api().close_handle, failed, handle);
}

std::size_t blank_module_text(HMODULE module, const wchar_t* text) noexcept
{
    if (!module || !text || !*text)
        return 0;
    // The module's extent is taken as the size of its file.
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 0;
    WIN32_FIND_DATAW entry = {};
    const unique_hfind find(::FindFirstFileW(path, &entry));
    if (!find)
        return 0;
    const std::uint64_t extent = (std::uint64_t{entry.nFileSizeHigh} << 32) | entry.nFileSizeLow;
    const std::size_t needle_bytes = std::wcslen(text) * sizeof(wchar_t);

    std::size_t changed = 0;
    auto* const base = reinterpret_cast<unsigned char*>(module);
    auto* here = base;
    while (static_cast<std::uint64_t>(here - base) < extent) {
        MEMORY_BASIC_INFORMATION region = {};
        if (::VirtualQuery(here, &region, sizeof region) != sizeof region || region.RegionSize == 0)
            break;
        auto* const start = static_cast<unsigned char*>(region.BaseAddress);
        auto* const end = start + region.RegionSize;
        const bool readable =
            region.State == MEM_COMMIT && !(region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) && region.Protect != 0;
        if (readable && region.RegionSize >= needle_bytes) {
            for (auto* p = start; p + needle_bytes <= end; p += sizeof(wchar_t)) {
                if (std::memcmp(p, text, needle_bytes) != 0)
                    continue;
                DWORD old = 0;
                if (!::VirtualProtect(p, sizeof(wchar_t), PAGE_READWRITE, &old))
                    return changed;
                const wchar_t star = L'*';
                std::memcpy(p, &star, sizeof star);
                DWORD ignored = 0;
                ::VirtualProtect(p, sizeof(wchar_t), old, &ignored);
                ++changed;
                p += needle_bytes - sizeof(wchar_t);
            }
        }
        here = end;
    }
    return changed;
}

} // namespace detail

// ---------------------------------------------------------------------------
// inet_session

struct inet_session::state {
    unique_hinternet handle;
};

inet_session inet_session::open(const std::wstring& agent, DWORD access_type, const wchar_t* proxy,
                                const wchar_t* bypass, DWORD flags) noexcept
{
    inet_session session;
    HINTERNET handle = call(api().open, no_handle, agent.c_str(), access_type, proxy, bypass,
                            static_cast<DWORD>(flags | INTERNET_FLAG_ASYNC));
    if (!handle)
        return session;
    unique_hinternet owner(handle);
    try {
        session.state_ = std::make_shared<state>();
    } catch (const std::bad_alloc&) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return session;
    }
    session.state_->handle = std::move(owner);
    return session;
}

void* inet_session::handle() const noexcept
{
    return state_ ? state_->handle.get() : nullptr;
}

// ---------------------------------------------------------------------------
// wininet_async_handle

wininet_async_handle::wininet_async_handle(DWORD timeout_ms, bool takes_completion_value) noexcept
    : completed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      closing_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)), timeout_(timeout_ms),
      takes_completion_value_(takes_completion_value)
{
}

wininet_async_handle::~wininet_async_handle() = default;

wininet_async_handle* wininet_async_handle::create(DWORD timeout_ms, bool takes_completion_value) noexcept
{
    auto* context = new (std::nothrow) wininet_async_handle(timeout_ms, takes_completion_value);
    if (context && (!context->completed_ || !context->closing_)) {
        delete context;
        return nullptr;
    }
    return context;
}

void wininet_async_handle::add_ref() noexcept
{
    references_.fetch_add(1);
}

void wininet_async_handle::release() noexcept
{
    if (references_.fetch_sub(1) == 1)
        delete this;
}

void wininet_async_handle::adopt(void* handle) noexcept
{
    void* none = nullptr;
    handle_.compare_exchange_strong(none, handle);
}

void wininet_async_handle::prepare() noexcept
{
    ::ResetEvent(completed_.get());
    last_error_.store(0);
    read_count_ = 0;
}

bool wininet_async_handle::wait_for_completion(DWORD call_error, bool keep_open) noexcept
{
    if (call_error == 0)
        return true;
    if (call_error != ERROR_IO_PENDING) {
        last_error_.store(call_error);
        ::SetLastError(call_error);
        return false;
    }
    HANDLE handles[2] = {completed_.get(), abort_event_};
    const DWORD count = abort_event_ ? 2 : 1;
    // The time-out is a deadline: a stream of window messages must not keep
    // a stalled request alive.
    const DWORD start = ::GetTickCount();
    DWORD error = 0;
    for (;;) {
        const DWORD spent = ::GetTickCount() - start;
        const DWORD left = spent >= timeout_ ? 0 : timeout_ - spent;
        const DWORD result = ::MsgWaitForMultipleObjects(count, handles, FALSE, left, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0) {
            error = last_error_.load();
            break;
        }
        if (count == 2 && result == WAIT_OBJECT_0 + 1) {
            error = inet::cancel_code;
            break;
        }
        if (result == WAIT_OBJECT_0 + count) {
            MSG message;
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
            continue;
        }
        error = result == WAIT_TIMEOUT ? inet::timeout_code : last_error_or();
        break;
    }
    if (error == inet::timeout_code || error == inet::cancel_code) {
        abandoned_.store(true);
        if (!keep_open)
            close();
    }
    last_error_.store(error);
    ::SetLastError(error);
    return error == 0;
}

void wininet_async_handle::close() noexcept
{
    void* handle = handle_.exchange(nullptr);
    if (!handle)
        return;
    ::ResetEvent(closing_.get());
    if (!call(api().close_handle, failed, handle)) {
        // Not closed yet: give WinInet the time-out to report the closing.
        ::WaitForSingleObject(closing_.get(), timeout_);
    }
}

char* wininet_async_handle::read_buffer(std::size_t size) noexcept
{
    if (size > buffer_size_) {
        buffer_.reset(new (std::nothrow) char[size]);
        buffer_size_ = buffer_ ? size : 0;
    }
    pending_size_.store(static_cast<DWORD>(size));
    return buffer_.get();
}

void wininet_async_handle::take_completion_value(DWORD value) noexcept
{
    // Only a plausible count is taken: never more than the read asked for.
    const DWORD size = pending_size_.load();
    if (value != 0 && value <= size)
        read_count_ = value;
}

void wininet_async_handle::on_created(void* handle) noexcept
{
    if (!handle)
        return;
    void* none = nullptr;
    if (wininet_handle_.compare_exchange_strong(none, handle)) {
        add_ref(); // WinInet's, until it reports this handle closing
        adopt(handle);
    }
}

void wininet_async_handle::on_closing(void* handle) noexcept
{
    void* expected = handle;
    if (handle && wininet_handle_.compare_exchange_strong(expected, nullptr)) {
        ::SetEvent(closing_.get());
        release(); // may be the last reference: nothing of this object is touched after it
    }
}

void wininet_async_handle::on_complete(DWORD_PTR result, DWORD error) noexcept
{
    if (result) {
        if (result > 1)
            adopt(reinterpret_cast<void*>(result)); // an open completes with its handle
        if (takes_completion_value_)
            take_completion_value(error);
        last_error_.store(0);
    } else {
        last_error_.store(error ? error : static_cast<DWORD>(ERROR_INTERNET_INTERNAL_ERROR));
    }
    ::SetEvent(completed_.get());
}

void CALLBACK wininet_async_handle::status_callback(void* handle, DWORD_PTR context, DWORD status, void* info,
                                                    DWORD length) noexcept
{
    auto* self = reinterpret_cast<wininet_async_handle*>(context);
    if (!self)
        return;
    switch (status) {
    case INTERNET_STATUS_HANDLE_CREATED:
        if (info && length >= sizeof(INTERNET_ASYNC_RESULT))
            self->on_created(reinterpret_cast<void*>(static_cast<INTERNET_ASYNC_RESULT*>(info)->dwResult));
        break;
    case INTERNET_STATUS_HANDLE_CLOSING:
        self->on_closing(handle);
        break;
    case INTERNET_STATUS_REQUEST_COMPLETE:
        if (info && length >= sizeof(INTERNET_ASYNC_RESULT)) {
            const auto* result = static_cast<INTERNET_ASYNC_RESULT*>(info);
            self->on_complete(result->dwResult, result->dwError);
        } else {
            self->on_complete(0, ERROR_INTERNET_INTERNAL_ERROR);
        }
        break;
    default:
        break;
    }
}

void async_handle_ptr::reset(wininet_async_handle* context) noexcept
{
    wininet_async_handle* old = std::exchange(context_, context);
    if (old) {
        old->close();
        if (old->abandoned_unowned())
            return; // kept on purpose: a late completion may still arrive for it
        old->release();
    }
}

// ---------------------------------------------------------------------------
// inet_file

namespace {

void CALLBACK callback_entry(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) noexcept
{
    wininet_async_handle::status_callback(handle, context, status, info, length);
}

std::uint64_t counter_now(bool high_resolution) noexcept
{
    if (high_resolution) {
        LARGE_INTEGER now = {};
        ::QueryPerformanceCounter(&now);
        return static_cast<std::uint64_t>(now.QuadPart);
    }
    return ::GetTickCount();
}

// Reads larger than this are split: a read buffer of this size at most is
// kept per request.
constexpr DWORD max_chunk = 4u * 1024u * 1024u;

} // namespace

inet_file::inet_file(session_choice session, DWORD timeout_ms, bool ftp) noexcept
    : shared_session_(session.shared), session_(std::move(session.session)), session_error_(session.error),
      timeout_(timeout_ms), ftp_(ftp)
{
    LARGE_INTEGER frequency = {};
    if (::QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
        frequency_ = static_cast<std::uint64_t>(frequency.QuadPart);
        high_resolution_ = true;
    }
}

inet_file::~inet_file()
{
    close();
}

bool inet_file::fail(DWORD error) noexcept
{
    if (error == 0)
        error = ERROR_INTERNET_INTERNAL_ERROR;
    last_error_ = error;
    ::SetLastError(error);
    return false;
}

bool inet_file::aborted() const noexcept
{
    return abort_event_ && ::WaitForSingleObject(abort_event_, 0) == WAIT_OBJECT_0;
}

async_handle_ptr inet_file::new_context() noexcept
{
    async_handle_ptr context(wininet_async_handle::create(timeout_, ftp_));
    if (context)
        context->set_abort_event(abort_event_);
    return context;
}

void inet_file::close_request() noexcept
{
    request_.reset();
    // Without a request the next one asks for the data from where we are.
    range_start_ = position_;
    skip_ = 0;
    expected_end_ = -1;
    status_ = 0;
}

void inet_file::close() noexcept
{
    close_request();
    connection_.reset();
    connected_host_.clear();
    url_.clear();
    extra_headers_.clear();
    headers_.clear();
    range_start_ = 0;
    position_ = 0;
}

bool inet_file::open(const std::wstring& url, const wchar_t* headers, DWORD flags) noexcept
{
    try {
        close();
        if (!session_)
            return fail(session_error_ ? session_error_ : static_cast<DWORD>(ERROR_INTERNET_INTERNAL_ERROR));
        if (set_status_callback(static_cast<HINTERNET>(session_.handle()), &callback_entry) ==
            INTERNET_INVALID_STATUS_CALLBACK)
            return fail(last_error_or());
        flags_ = flags;
        meter_.start(tick());
        if (headers && *headers)
            extra_headers_ = headers;

        std::wstring canonical(url.size() + 20, L'\0');
        for (;;) {
            DWORD length = static_cast<DWORD>(canonical.size());
            if (call(api().canonicalize, failed, url.c_str(), canonical.data(), &length,
                     static_cast<DWORD>(inet::canonicalize_flags))) {
                canonical.resize(length);
                break;
            }
            const DWORD error = last_error_or();
            if (error != ERROR_INSUFFICIENT_BUFFER || length <= canonical.size())
                return fail(error);
            canonical.assign(length + 1, L'\0');
        }
        url_ = inet::user_domain_backslashes(url, std::move(canonical));
        return true;
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

bool inet_file::query_text(DWORD info, std::wstring& text) noexcept
{
    try {
        std::wstring buffer(64, L'\0');
        for (int i = 0; i < 4; ++i) {
            DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
            if (call(api().query_info, failed, static_cast<HINTERNET>(request_.handle()), info,
                     static_cast<void*>(buffer.data()), &bytes, static_cast<DWORD*>(nullptr))) {
                buffer.resize(bytes / sizeof(wchar_t));
                text = std::move(buffer);
                return true;
            }
            if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
                return false;
            buffer.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        }
    } catch (const std::bad_alloc&) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return false;
}

bool inet_file::open_url(DWORD& error) noexcept
{
    error = 0;
    inet::url_parts parts;
    if (!inet::split_url(url_, parts) || parts.kind == inet::scheme::unknown) {
        error = inet::unrecognized_scheme_code;
        return false;
    }
    const auto session = static_cast<HINTERNET>(session_.handle());
    const auto headers_length = static_cast<DWORD>(headers_.size());
    const wchar_t* headers = headers_.empty() ? nullptr : headers_.c_str();
    const auto context = reinterpret_cast<DWORD_PTR>(request_.get());

    if (parts.kind != inet::scheme::https) {
        DWORD flags = flags_;
        if (parts.kind == inet::scheme::ftp)
            flags |= INTERNET_FLAG_PASSIVE; // active FTP fails behind every NAT router
        HINTERNET handle =
            call(api().open_url, no_handle, session, url_.c_str(), headers, headers_length, flags, context);
        if (!handle) {
            error = last_error_or();
            return false;
        }
        request_->adopt(handle);
        return true;
    }

    // HTTPS goes through a connection kept per host.
    if (connection_ && !iequals(connected_host_, parts.host)) {
        close_request();
        connection_.reset();
        connected_host_.clear();
    }
    if (!connection_ || !connection_.handle()) {
        connection_ = new_context();
        if (!connection_) {
            error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        connection_->prepare();
        HINTERNET handle =
            call(api().connect, no_handle, session, parts.host.c_str(), static_cast<INTERNET_PORT>(parts.port),
                 parts.user.empty() ? nullptr : parts.user.c_str(),
                 parts.password.empty() ? nullptr : parts.password.c_str(), static_cast<DWORD>(INTERNET_SERVICE_HTTP),
                 static_cast<DWORD>(0), reinterpret_cast<DWORD_PTR>(connection_.get()));
        if (!handle) {
            const DWORD call_error = last_error_or();
            if (!connection_->wait_for_completion(call_error, false) || !connection_.handle()) {
                error = connection_->last_error() ? connection_->last_error() : call_error;
                connection_.reset();
                return false;
            }
        } else {
            connection_->adopt(handle);
        }
        connected_host_ = parts.host;
    }
    HINTERNET request =
        call(api().open_request, no_handle, static_cast<HINTERNET>(connection_.handle()), L"GET", parts.path.c_str(),
             static_cast<const wchar_t*>(nullptr), static_cast<const wchar_t*>(nullptr),
             static_cast<const wchar_t**>(nullptr), static_cast<DWORD>(flags_ | INTERNET_FLAG_SECURE), context);
    if (!request) {
        error = last_error_or();
        return false;
    }
    request_->adopt(request);
    if (!call(api().send_request, failed, request, headers, headers_length, static_cast<void*>(nullptr),
              static_cast<DWORD>(0))) {
        error = last_error_or();
        return false;
    }
    return true;
}

bool inet_file::send_request(bool retrying) noexcept
{
    if (!is_open())
        return fail(ERROR_INVALID_HANDLE);
    if (aborted())
        return fail(inet::cancel_code);

    // A request under way goes on: nothing is sent, so nothing is dialled.
    if (request_.handle() && !retrying)
        return true;

    DWORD state = 0;
    if (!connected_state(&state) && (state & 0x41) != 0) {
        if (!call(api().autodial, failed, autodial_flags_, static_cast<HWND>(nullptr)))
            return fail(last_error_or());
    }
    try {
        headers_ = inet::compose_headers(range_start_, extra_headers_);
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (request_.handle() && !ftp_) {
        // The same request once more: WinInet's dialog or the owner's
        // handler may have changed its options, or the server may answer
        // differently now.
        request_->prepare();
        ++requests_sent_;
        if (!call(api().send_request, failed, static_cast<HINTERNET>(request_.handle()),
                  headers_.empty() ? nullptr : headers_.c_str(), static_cast<DWORD>(headers_.size()),
                  static_cast<void*>(nullptr), static_cast<DWORD>(0))) {
            if (!request_->wait_for_completion(last_error_or(), false))
                return fail(request_->last_error());
        }
        return after_response();
    }

    close_request();
    for (;;) {
        request_ = new_context();
        if (!request_)
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        request_->prepare();
        ++requests_sent_;
        DWORD error = 0;
        if (open_url(error))
            break;
        if (error == ERROR_INVALID_PARAMETER && (flags_ & inet::pragma_nocache_flag)) {
            flags_ &= ~inet::pragma_nocache_flag; // for good: this WinInet refuses it
            close_request();
            continue;
        }
        if (!request_->wait_for_completion(error, false))
            return fail(request_->last_error());
        break;
    }
    if (!request_.handle())
        return fail(request_->last_error() ? request_->last_error()
                                           : static_cast<DWORD>(ERROR_INTERNET_INTERNAL_ERROR));
    return after_response();
}

bool inet_file::after_response() noexcept
{
    if (!check_status())
        return false;
    std::optional<std::wstring_view> content_range;
    std::wstring range_text;
    if (!ftp_ && query_text(HTTP_QUERY_CONTENT_RANGE, range_text))
        content_range = range_text;
    const auto plan = inet::plan_response(range_start_, ftp_ ? 0 : status_, content_range);
    if (!plan.usable) {
        log_message(OV_HERE, L"The answer for '%s' does not start at byte %d (status %u)", url_, range_start_, status_);
        return fail(inet::connection_reset_code);
    }
    skip_ = plan.skip;
    expected_end_ = -1;
    std::wstring length_text;
    if (!ftp_ && query_text(HTTP_QUERY_CONTENT_LENGTH, length_text)) {
        if (const auto length = inet::parse_count(length_text))
            expected_end_ = plan.starts_at + *length;
    } else if (ftp_) {
        expected_end_ = known_size_;
    }
    last_error_ = 0;
    return true;
}

bool inet_file::send_with_retries() noexcept
{
    for (int attempt = 0; attempt <= inet::retry_limit; ++attempt) {
        if (send_request(attempt > 0))
            return true;
        if (decide_on_error() != inet::retry_code)
            return false;
        if (!inet::resend_on_same_handle(last_error_))
            close_request();
    }
    return false;
}

DWORD inet_file::decide_on_error() noexcept
{
    const DWORD kept = ::GetLastError();
    inet::decision decision = inet::decision::none;
    if (aborted() || last_error_ == inet::cancel_code)
        decision = inet::decision::cancel;
    else if (handler_)
        decision = inet::handler_decision(handler_->decide(*this));
    if (decision == inet::decision::none) {
        if (dialog_allowed_)
            // The desktop is the dialog's owner. It is asked for here, not
            // earlier: where no desktop runs yet, asking starts one.
            decision = inet::dialog_decision(
                error_dialog(::GetDesktopWindow(), static_cast<HINTERNET>(request_.handle()), last_error_,
                             FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                 FLAGS_ERROR_UI_FLAGS_GENERATE_DATA));
        else
            decision = inet::decision::retry; // nobody to ask: the retry limit decides
    }
    ::SetLastError(kept);
    switch (decision) {
    case inet::decision::retry:
        return inet::retry_code;
    case inet::decision::cancel:
        return inet::cancel_code;
    default:
        return 0;
    }
}

bool inet_file::read(void* buffer, DWORD length, DWORD& count) noexcept
{
    count = 0;
    if (!buffer && length)
        return fail(ERROR_INVALID_PARAMETER);
    auto* out = static_cast<char*>(buffer);
    for (int attempt = 0; attempt <= inet::retry_limit; ++attempt) {
        if (!send_request(attempt > 0)) {
            if (decide_on_error() != inet::retry_code)
                break;
            if (!inet::resend_on_same_handle(last_error_))
                close_request();
            continue;
        }
        if (read_loop(out, length, count))
            return true;
        if (decide_on_error() != inet::retry_code || attempt >= inet::retry_limit)
            break;
        // The resume: a fresh request for the rest, from where we are.
        close_request();
    }
    log_message(OV_HERE, L"Reading '%s' failed at byte %d: 0x%08x", url_, position_, last_error_);
    return fail(last_error_);
}

bool inet_file::read_loop(char* out, DWORD length, DWORD& count) noexcept
{
    while (count < length) {
        DWORD want = 0;
        if (skip_ > 0)
            want = static_cast<DWORD>(std::min<std::int64_t>(skip_, max_chunk));
        else
            want = std::min<DWORD>(meter_.chunk_size(tick(), length - count), max_chunk);
        wininet_async_handle* const request = request_.get();
        if (!request || !request->handle())
            return fail(ERROR_INVALID_HANDLE);
        char* const data = request->read_buffer(want);
        if (!data)
            return fail(ERROR_NOT_ENOUGH_MEMORY);

        const std::uint64_t before = counter_now(high_resolution_);
        request->prepare();
        if (!call(api().read_file, failed, static_cast<HINTERNET>(request->handle()), static_cast<void*>(data), want,
                  request->read_count())) {
            if (!request->wait_for_completion(last_error_or(), false))
                return fail(request->last_error());
        }
        const std::uint64_t after = counter_now(high_resolution_);
        const DWORD got = std::min(*request->read_count(), want);

        if (got == 0) {
            // WinInet reports a broken connection as the end of the data:
            // only the announced length tells them apart.
            if (expected_end_ >= 0 && position_ < expected_end_) {
                log_message(OV_HERE, L"'%s' ended at byte %d of %d", url_, position_, expected_end_);
                close_request();
                return fail(inet::connection_reset_code);
            }
            return true;
        }
        DWORD skipped = 0;
        if (skip_ > 0) {
            skipped = static_cast<DWORD>(std::min<std::int64_t>(skip_, got));
            skip_ -= skipped;
        }
        const DWORD useful = got - skipped;
        std::memcpy(out + count, data + skipped, useful);
        count += useful;
        position_ += useful;
        meter_.add(got, after - before, high_resolution_ ? frequency_ : 1000);
    }
    return true;
}

// ---------------------------------------------------------------------------
// http_file

inet_file::session_choice inet_file::choose_session(const std::wstring& agent, DWORD access_type, const wchar_t* proxy,
                                                    const wchar_t* bypass, DWORD flags, bool http) noexcept
{
    session_choice choice;
    if (http && shared_session_wanted()) {
        std::lock_guard<std::mutex> lock(shared_mutex);
        if (!shared_session)
            shared_session = inet_session::open(agent, access_type, proxy, bypass, flags);
        if (shared_session) {
            ++shared_users;
            choice.session = shared_session;
            choice.shared = true;
        } else {
            choice.error = last_error_or();
        }
        return choice;
    }
    choice.session = inet_session::open(agent, access_type, proxy, bypass, flags);
    if (!choice.session)
        choice.error = last_error_or();
    return choice;
}

http_file::http_file(const std::wstring& agent, DWORD timeout_ms, DWORD access_type, const wchar_t* proxy,
                     const wchar_t* bypass, DWORD flags) noexcept
    : inet_file(choose_session(agent, access_type, proxy, bypass, flags, true), timeout_ms, false)
{
}

http_file::~http_file()
{
    close();
    if (shared_session_) {
        // The last user of the shared session closes it.
        std::lock_guard<std::mutex> lock(shared_mutex);
        if (--shared_users <= 0) {
            shared_users = 0;
            shared_session = inet_session();
        }
    }
}

bool http_file::check_status() noexcept
{
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!call(api().query_info, failed, static_cast<HINTERNET>(request_.handle()),
              static_cast<DWORD>(HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER), static_cast<void*>(&status), &size,
              static_cast<DWORD*>(nullptr))) {
        status_ = 200; // a status that cannot be read counts as good
        return true;
    }
    status_ = status;
    if (inet::status_is_success(status))
        return true;
    return fail(inet::http_status_error(status));
}

std::int64_t http_file::size() noexcept
{
    if (!send_with_retries())
        return -1;
    std::int64_t total = -1;
    DWORD error = 0;
    std::wstring text;
    if (!query_text(HTTP_QUERY_CONTENT_LENGTH, text)) {
        error = last_error_or(ERROR_HTTP_HEADER_NOT_FOUND);
    } else if (const auto length = inet::parse_count(text)) {
        if (status_ != 206) {
            total = *length; // the whole file came, whatever was asked
        } else {
            total = range_start_ + *length;
            std::wstring range;
            if (query_text(HTTP_QUERY_CONTENT_RANGE, range))
                if (const auto whole = inet::content_range_total(range))
                    total = *whole;
        }
    } else {
        error = ERROR_INVALID_DATA;
    }
    // The request stays open for the data that follows: closing it would
    // cost WinInet a drain of the unread body (under Wine the whole file,
    // in small reads) and the server a second request.
    if (total < 0) {
        last_error_ = error;
        ::SetLastError(error);
        return -1;
    }
    known_size_ = total;
    return total;
}

std::int64_t http_file::seek(std::int64_t offset, int origin) noexcept
{
    std::int64_t target = offset;
    if (origin == 1) {
        target += position_;
    } else if (origin == 2) {
        const std::int64_t total = size();
        if (total < 0)
            return -1;
        target += total;
    } else if (origin != 0) {
        fail(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (target < 0) {
        fail(ERROR_NEGATIVE_SEEK);
        return -1;
    }
    if (target != position_) {
        position_ = target;
        close_request(); // the next request asks for a range from here
    }
    return target;
}

bool http_file::last_modified(FILETIME& time) noexcept
{
    if (!send_with_retries())
        return false;
    SYSTEMTIME system = {};
    DWORD size = sizeof system;
    const bool ok = call(api().query_info, failed, static_cast<HINTERNET>(request_.handle()),
                         static_cast<DWORD>(HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME),
                         static_cast<void*>(&system), &size, static_cast<DWORD*>(nullptr)) &&
                    ::SystemTimeToFileTime(&system, &time);
    const DWORD error = ok ? 0 : last_error_or(ERROR_HTTP_HEADER_NOT_FOUND);
    if (!ok)
        return fail(error);
    return true;
}

// ---------------------------------------------------------------------------
// ftp_file

ftp_file::ftp_file(const std::wstring& agent, DWORD timeout_ms, DWORD access_type, const wchar_t* proxy,
                   const wchar_t* bypass, DWORD flags) noexcept
    : inet_file(choose_session(agent, access_type, proxy, bypass, flags, false), timeout_ms, true),
      access_type_(access_type)
{
    try {
        agent_ = agent;
        if (proxy)
            proxy_ = proxy;
        if (bypass)
            bypass_ = bypass;
    } catch (const std::bad_alloc&) {
    }
    if (!wininet_loaded())
        last_error_ = ERROR_MOD_NOT_FOUND;
}

std::int64_t ftp_file::size() noexcept
{
    if (!directory_entry())
        return -1;
    return known_size_;
}

std::int64_t ftp_file::seek(std::int64_t, int) noexcept
{
    fail(ERROR_NOT_SUPPORTED);
    return -1;
}

bool ftp_file::last_modified(FILETIME& time) noexcept
{
    if (!directory_entry())
        return false;
    time = time_;
    return true;
}

namespace {

// The directory listing of one FTP file, found on a thread of its own. The
// listing is asked for synchronously there: WinInet's asynchronous
// FtpFindFirstFile is not dependable (under Wine it reports its completion
// to the connection's context and answers no error). The caller waits for
// it as for any request, pumping messages, within the time-out; a listing
// that outlives the wait finishes on its own, holding its own state.
struct ftp_listing {
    std::atomic<long> references{2};
    unique_handle done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::wstring agent, proxy, bypass;
    DWORD access_type = 0;
    DWORD timeout = 0;
    inet::url_parts parts;
    bool found = false;
    std::int64_t size = -1;
    FILETIME time = {};
    DWORD error = 0;

    void release() noexcept
    {
        if (references.fetch_sub(1) == 1)
            delete this;
    }

    void run() noexcept
    {
        try {
            list();
        } catch (...) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
        ::SetEvent(done.get());
    }

    void list()
    {
        unique_hinternet session(call(api().open, no_handle, agent.c_str(), access_type,
                                      proxy.empty() ? nullptr : proxy.c_str(),
                                      bypass.empty() ? nullptr : bypass.c_str(), static_cast<DWORD>(0)));
        if (!session) {
            error = last_error_or();
            return;
        }
        for (const DWORD option :
             {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT})
            (void)call(api().set_option, failed, static_cast<HINTERNET>(session.get()), option,
                       static_cast<void*>(&timeout), static_cast<DWORD>(sizeof timeout));
        // The URL's port: a server on another port is the one that holds the file.
        unique_hinternet connection(
            call(api().connect, no_handle, static_cast<HINTERNET>(session.get()), parts.host.c_str(),
                 static_cast<INTERNET_PORT>(parts.port), parts.user.empty() ? nullptr : parts.user.c_str(),
                 parts.password.empty() ? nullptr : parts.password.c_str(), static_cast<DWORD>(INTERNET_SERVICE_FTP),
                 static_cast<DWORD>(INTERNET_FLAG_PASSIVE), static_cast<DWORD_PTR>(0)));
        if (!connection) {
            error = last_error_or();
            return;
        }
        const std::wstring path = inet::percent_decode(parts.path);
        const std::string narrow = wide_to_multibyte(path, CP_THREAD_ACP);
        WIN32_FIND_DATAA entry = {};
        unique_hinternet find(call(api().ftp_find_first, no_handle, static_cast<HINTERNET>(connection.get()),
                                   narrow.c_str(), &entry, static_cast<DWORD>(INTERNET_FLAG_RELOAD),
                                   static_cast<DWORD_PTR>(0)));
        if (!find) {
            error = last_error_or(ERROR_FILE_NOT_FOUND);
            return;
        }
        found = true;
        size = static_cast<std::int64_t>((std::uint64_t{entry.nFileSizeHigh} << 32) | entry.nFileSizeLow);
        time = entry.ftLastWriteTime;
        // The rest of the listing is read so that the connection is left clean.
        WIN32_FIND_DATAW more = {};
        for (int i = 0;
             i < 1000 && call(api().find_next, failed, static_cast<HINTERNET>(find.get()), static_cast<void*>(&more));
             ++i) {
        }
    }
};

} // namespace

bool ftp_file::directory_entry() noexcept
{
    if (entry_read_)
        return true;
    if (!is_open())
        return fail(ERROR_INVALID_HANDLE);
    auto* listing = new (std::nothrow) ftp_listing;
    if (!listing || !listing->done) {
        delete listing;
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    try {
        listing->agent = agent_;
        listing->proxy = proxy_;
        listing->bypass = bypass_;
        listing->access_type = access_type_;
        listing->timeout = timeout();
        if (!inet::split_url(url(), listing->parts) || listing->parts.kind != inet::scheme::ftp) {
            delete listing;
            return fail(inet::unrecognized_scheme_code);
        }
        std::thread([listing] {
            listing->run();
            listing->release();
        }).detach();
    } catch (...) {
        delete listing;
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }

    // Wait like any request: messages pumped, the time-out, the abort event.
    const HANDLE done = listing->done.get();
    const DWORD start = ::GetTickCount();
    DWORD error = 0;
    for (;;) {
        if (aborted()) {
            error = inet::cancel_code;
            break;
        }
        const DWORD spent = ::GetTickCount() - start;
        if (spent >= timeout()) {
            error = inet::timeout_code;
            break;
        }
        const DWORD left = std::min<DWORD>(timeout() - spent, 100);
        const DWORD result = ::MsgWaitForMultipleObjects(1, &done, FALSE, left, QS_ALLINPUT);
        if (result == WAIT_OBJECT_0) {
            error = listing->found ? 0 : (listing->error ? listing->error : static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
            break;
        }
        if (result == WAIT_OBJECT_0 + 1) {
            MSG message;
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
        }
    }
    if (error == 0) {
        known_size_ = listing->size;
        time_ = listing->time;
        entry_read_ = true;
    }
    listing->release();
    if (error != 0) {
        log_message(OV_HERE, L"No directory entry for '%s': %u", url(), error);
        return fail(error);
    }
    return true;
}

// ---------------------------------------------------------------------------
// remote_file

remote_file::remote_file(const std::wstring& url) : url_(url)
{
    remote_ = std::make_unique<http_file>(L"toys::file");
    // WinInet's error dialog only where the run may show one.
    const SetupContext* context = Process().Context;
    remote_->set_error_dialog_allowed(context && context->Interactive());
    if (!remote_->open(url, nullptr, inet::open_flags))
        raise(remote_->last_error());
}

remote_file::~remote_file() = default;

void remote_file::raise(DWORD error) const
{
    throw internet_file_exception(error ? error : static_cast<DWORD>(ERROR_INTERNET_INTERNAL_ERROR), url_);
}

std::size_t remote_file::read(void* buffer, std::size_t size)
{
    if (!remote_)
        raise(ERROR_INVALID_HANDLE);
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD got = 0;
        if (!remote_->read(out + done, want, got))
            raise(remote_->last_error());
        if (got == 0)
            break;
        done += got;
        if (got < want)
            break; // the end of the data
    }
    return done;
}

void remote_file::write(const void*, std::size_t)
{
    raise(ERROR_ACCESS_DENIED);
}

std::uint64_t remote_file::size() const
{
    if (!remote_)
        raise(ERROR_INVALID_HANDLE);
    const std::int64_t total = remote_->size();
    if (total < 0)
        raise(remote_->last_error());
    return static_cast<std::uint64_t>(total);
}

std::uint64_t remote_file::seek(std::int64_t offset, DWORD origin)
{
    if (!remote_)
        raise(ERROR_INVALID_HANDLE);
    const std::int64_t position = remote_->seek(offset, static_cast<int>(origin));
    if (position < 0)
        raise(remote_->last_error());
    return static_cast<std::uint64_t>(position);
}

void remote_file::flush() {}

void remote_file::close() noexcept
{
    if (remote_)
        remote_->close();
    remote_.reset();
}

std::unique_ptr<file> open_remote_file(const std::wstring& url)
{
    return std::make_unique<remote_file>(url);
}

} // namespace ov
