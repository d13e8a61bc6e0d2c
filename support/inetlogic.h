// The decisions of the internet layer and the download manager that need no
// Windows: URL splitting, the headers a request sends, what a response to a
// resumed request means, status codes as error codes, the error decision,
// the rate measurement that sizes reads, and the progress figures and texts
// of a download. The Windows modules (inet.cpp, download.cpp) only carry
// these out, so everything here is tested natively.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ov::inet {

// Codes the error decision speaks in (WinInet's and Windows' values).
inline constexpr std::uint32_t retry_code = 12032;   // ERROR_INTERNET_FORCE_RETRY
inline constexpr std::uint32_t cancel_code = 1223;   // ERROR_CANCELLED
inline constexpr std::uint32_t timeout_code = 12002; // ERROR_INTERNET_TIMEOUT
inline constexpr std::uint32_t unrecognized_scheme_code = 12006;
// A response whose data ended before its announced length: the connection
// broke (WinInet reports such an end as an ordinary end of data).
inline constexpr std::uint32_t connection_reset_code = 12031; // ERROR_INTERNET_CONNECTION_RESET
// The server's answer lacks the header asked for (Content-Length, say).
inline constexpr std::uint32_t header_not_found_code = 12150; // ERROR_HTTP_HEADER_NOT_FOUND
// Tries after the first one, for sending and for reading.
inline constexpr int retry_limit = 5;
// Reload, keep the connection, "Pragma: no-cache": how both clients open.
inline constexpr std::uint32_t open_flags = 0x80400100u;
inline constexpr std::uint32_t pragma_nocache_flag = 0x100u;
inline constexpr std::uint32_t secure_flag = 0x800000u;
// Canonicalisation: decode, browser mode.
inline constexpr std::uint32_t canonicalize_flags = 0x12000000u;
inline constexpr std::uint32_t default_timeout_ms = 30000;

// ---------------------------------------------------------------------------
// Status codes

// HTTP statuses that fail a request travel as 0x8004D3C0 + status
// (404 -> 0x8004D554).
[[nodiscard]] constexpr std::uint32_t http_status_error(std::uint32_t status) noexcept
{
    return 0x80040000u | (status + 0xD3C0u);
}
[[nodiscard]] constexpr bool status_is_success(std::uint32_t status) noexcept
{
    return status >= 200 && status <= 299;
}
// The status inside an error made by http_status_error; nothing for other codes.
[[nodiscard]] std::optional<std::uint32_t> status_of_error(std::uint32_t error) noexcept;
// An error as the download reports it: a Windows code c becomes
// 0x80070000 | (c & 0xFFFF); codes that are already HRESULTs (the status
// errors) stay; 0 (a failure that set no code) becomes E_FAIL.
[[nodiscard]] std::int32_t hresult_of(std::uint32_t error) noexcept;
// The size-unknown failure of a download: the "not found" status error.
inline constexpr std::uint32_t size_unknown_error = http_status_error(404);

// ---------------------------------------------------------------------------
// URLs and headers

enum class scheme { unknown, ftp, http, https };

struct url_parts {
    scheme kind = scheme::unknown;
    std::wstring user;
    std::wstring password;
    std::wstring host;
    std::uint16_t port = 0; // the scheme's default when the URL names none
    std::wstring path;      // path and query, "/" when empty
};

// Splits "scheme://[user[:password]@]host[:port][/path][?query]". False for
// text that has no "://", an empty host, or a port that is not a number
// from 1 to 65535. The user part ends at the last '@' before the path.
[[nodiscard]] bool split_url(std::wstring_view url, url_parts& parts);
[[nodiscard]] scheme scheme_of(std::wstring_view url) noexcept;

// %XX escapes decoded (an FTP server is asked for the file's real name);
// a '%' not followed by two hexadecimal digits stays as it is.
[[nodiscard]] std::wstring percent_decode(std::wstring_view text);

// When the URL as given carries a Windows account written
// DOMAIN/user:password before its '@', the '/' of the canonical URL between
// its "//" and its '@' becomes '\', so the account reaches the server as
// DOMAIN\user. A '/' after the '@', and URLs whose text before an '@' is a
// path, are left alone.
[[nodiscard]] std::wstring user_domain_backslashes(std::wstring_view given, std::wstring canonical);

// The headers of one request: the range line when `range_start` is not 0
// (ended by CR LF only when more headers follow), then the extra headers.
[[nodiscard]] std::wstring compose_headers(std::int64_t range_start, std::wstring_view extra);

// "bytes 100-4999/5000" -> 100; nothing when the text is not of that form.
[[nodiscard]] std::optional<std::int64_t> content_range_start(std::wstring_view header) noexcept;
// "bytes 100-4999/5000" -> 5000; nothing when absent or "*".
[[nodiscard]] std::optional<std::int64_t> content_range_total(std::wstring_view header) noexcept;
// A non-negative decimal count (Content-Length), blanks around allowed.
[[nodiscard]] std::optional<std::int64_t> parse_count(std::wstring_view text) noexcept;

// What to do with the response to a request that asked for data from
// `range_start`: use it, after throwing away `skip` bytes that come before
// the wanted position (a server that ignored the range, or an FTP transfer,
// starts earlier), or refuse it (it starts after the wanted position).
struct response_plan {
    bool usable = false;
    std::int64_t skip = 0;
    std::int64_t starts_at = 0; // file offset of the response's first byte
};
// `status` is the HTTP status (0 for FTP, whose transfers start at 0);
// `range_header` the response's Content-Range, if any.
[[nodiscard]] response_plan plan_response(std::int64_t range_start, std::uint32_t status,
                                          std::optional<std::wstring_view> range_header) noexcept;

// ---------------------------------------------------------------------------
// The error decision

enum class decision { retry, cancel, none };
// What an owner's error handler answered: the retry code, the cancel code,
// or anything else (no decision).
[[nodiscard]] decision handler_decision(std::uint32_t answer) noexcept;
// What WinInet's error dialog answered: cancel, or retry for anything else.
[[nodiscard]] decision dialog_decision(std::uint32_t answer) noexcept;
// Errors after which the request is sent again on the same handle (the
// error dialog or a handler may have changed its options, or the server
// answered and may answer differently); after any other failure the
// request is opened afresh.
[[nodiscard]] bool resend_on_same_handle(std::uint32_t error) noexcept;

// ---------------------------------------------------------------------------
// Rate measurement

// Two windows of transferred bytes and time. Both grow with every read; each
// 30 seconds the long window takes over the short one's contents and the
// short one starts again, so the rate follows the line without jumping.
// Arithmetic stays in 32 bits.
class rate_meter {
public:
    // Reads of this size are made until the rate has been measured...
    static constexpr std::uint32_t first_chunk = 1500;
    // ...for this long; then a read asks for this many seconds' worth of
    // data, half the time-out, so that a read at the measured rate ends well
    // before its wait gives up.
    static constexpr std::uint32_t warmup_ms = 50;
    static constexpr std::uint32_t chunk_seconds = 15;
    static constexpr std::uint32_t window_ms = 30000;

    void start(std::uint32_t now_ms) noexcept;
    // One read of `bytes` that took `elapsed` ticks of a counter with
    // `frequency` ticks per second (0 ticks count as 5).
    void add(std::uint32_t bytes, std::uint64_t elapsed, std::uint64_t frequency) noexcept;
    // Bytes per second.
    [[nodiscard]] std::uint32_t rate(std::uint32_t now_ms) noexcept;
    // The size of the next read, at most `remaining` and at least 1.
    [[nodiscard]] std::uint32_t chunk_size(std::uint32_t now_ms, std::uint32_t remaining) noexcept;

    [[nodiscard]] std::uint32_t long_bytes() const noexcept { return long_bytes_; }
    [[nodiscard]] std::uint32_t long_ms() const noexcept { return long_ms_; }
    [[nodiscard]] std::uint32_t short_bytes() const noexcept { return short_bytes_; }
    [[nodiscard]] std::uint32_t short_ms() const noexcept { return short_ms_; }

private:
    std::uint32_t long_bytes_ = 0, long_ms_ = 0, long_us_ = 0;
    std::uint32_t short_bytes_ = 0, short_us_ = 0, short_ms_ = 0;
    std::uint32_t window_start_ = 0;
};

// ---------------------------------------------------------------------------
// Downloads

// The address a download fetches: at most 1024 characters, '\' turned into
// '/', and "http://" put in front unless it begins (in any case) with
// "ftp://", "http://" or "https://" and is longer than 6 characters.
[[nodiscard]] std::wstring normalize_source(std::wstring_view source);
// A UNC path (two backslashes, longer than 2 characters): copied, not fetched.
[[nodiscard]] bool is_unc_source(std::wstring_view source) noexcept;
// "Referer: <url>" for http:// and ftp:// addresses; empty for https://,
// which must not leak its address to others.
[[nodiscard]] std::wstring referer_header(std::wstring_view url);

// The transfer reads in blocks that adapt to the line: larger while a block
// arrives quickly, smaller when one takes long, so that progress is
// reported a few times a second on a slow line and a fast one is not held
// back by small reads.
inline constexpr std::uint32_t min_block = 64 * 1024;
inline constexpr std::uint32_t max_block = 4 * 1024 * 1024;
[[nodiscard]] std::uint32_t next_block_size(std::uint32_t current, std::uint32_t elapsed_ms) noexcept;
// Failed steps (reads or writes) in a row after which a transfer gives up.
inline constexpr int max_failed_steps = 3;

// The progress figures of a download. All divisions are integer divisions.
struct progress_figures {
    int percent = 0;        // 0 to 100
    std::uint32_t rate = 0; // bytes per second; 0 in the first second
    std::uint32_t seconds_left = 0;
};

// String ids of the progress texts (the launcher's string table).
inline constexpr unsigned ids_hours = 1615, ids_minutes = 1616, ids_seconds = 1617, ids_mb = 1618, ids_kb = 1619,
                          ids_per_second = 1620, ids_time_remaining = 1622, ids_download_progress = 1623;

using string_source = std::function<std::wstring(unsigned id)>;

// Percent, rate and time left of a download from its start, and the texts
// the setup dialog shows for them.
class ProgressCalculator {
public:
    explicit ProgressCalculator(string_source texts);
    virtual ~ProgressCalculator() = default;

    void start(std::int64_t total, std::uint32_t now_ms) noexcept;
    [[nodiscard]] progress_figures compute(std::int64_t received, std::uint32_t now_ms) noexcept;
    // "<received> <unit> of <total> <unit> downloaded at <r.r> <unit>/sec";
    // empty while the rate is 0. MB above 1048576 bytes per second, else KB.
    // A total of 0 means the total given to start.
    [[nodiscard]] std::wstring rate_text(std::uint32_t rate, std::int64_t received, std::int64_t total) const;
    // "Estimated time remaining:  1 hr 2 min 5 sec " (hours and minutes only
    // when not 0).
    [[nodiscard]] std::wstring time_text(std::uint32_t seconds) const;

    [[nodiscard]] std::int64_t total() const noexcept { return total_; }

private:
    string_source texts_;
    std::uint32_t start_ms_ = 0;
    std::int64_t total_ = 0;
    std::int64_t received_ = 0;
    std::wstring hours_unit_, minutes_unit_, seconds_unit_, time_prefix_;
};

} // namespace ov::inet
