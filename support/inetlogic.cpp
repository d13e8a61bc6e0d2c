#include "inetlogic.h"

#include "ov_format.h"
#include "ov_string.h"

#include <algorithm>
#include <limits>

namespace ov::inet {

namespace {

bool is_digit(wchar_t c) noexcept
{
    return c >= L'0' && c <= L'9';
}

std::wstring_view trim_blanks(std::wstring_view text) noexcept
{
    while (!text.empty() && (text.front() == L' ' || text.front() == L'\t'))
        text.remove_prefix(1);
    while (!text.empty() &&
           (text.back() == L' ' || text.back() == L'\t' || text.back() == L'\r' || text.back() == L'\n'))
        text.remove_suffix(1);
    return text;
}

// Digits at the front of `text` as a count; moves past them.
std::optional<std::int64_t> take_count(std::wstring_view& text) noexcept
{
    if (text.empty() || !is_digit(text.front()))
        return std::nullopt;
    std::int64_t value = 0;
    while (!text.empty() && is_digit(text.front())) {
        const int digit = text.front() - L'0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
        text.remove_prefix(1);
    }
    return value;
}

// "bytes 100-4999/5000" split into its three numbers (the total may be "*").
struct content_range {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::optional<std::int64_t> total;
};

std::optional<content_range> parse_content_range(std::wstring_view header) noexcept
{
    std::wstring_view text = trim_blanks(header);
    if (istarts_with(text, L"bytes"))
        text.remove_prefix(5);
    text = trim_blanks(text);
    if (!text.empty() && text.front() == L'=') // some servers write "bytes=..."
        text.remove_prefix(1);
    content_range range;
    const auto first = take_count(text);
    if (!first || text.empty() || text.front() != L'-')
        return std::nullopt;
    text.remove_prefix(1);
    const auto last = take_count(text);
    if (!last || *last < *first || text.empty() || text.front() != L'/')
        return std::nullopt;
    text.remove_prefix(1);
    range.first = *first;
    range.last = *last;
    if (text != L"*") {
        range.total = take_count(text);
        if (!range.total || !text.empty())
            return std::nullopt;
    }
    return range;
}

std::uint32_t saturate32(std::uint64_t value) noexcept
{
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

} // namespace

// ---------------------------------------------------------------------------
// Status codes

std::optional<std::uint32_t> status_of_error(std::uint32_t error) noexcept
{
    if ((error & 0xFFFF0000u) != 0x80040000u)
        return std::nullopt;
    const std::uint32_t low = error & 0xFFFFu;
    if (low < 0xD3C0u + 100u || low > 0xD3C0u + 999u)
        return std::nullopt;
    return low - 0xD3C0u;
}

std::int32_t hresult_of(std::uint32_t error) noexcept
{
    if (error == 0)
        return static_cast<std::int32_t>(0x80004005u); // E_FAIL: a failure must never read as success
    if (error & 0x80000000u)
        return static_cast<std::int32_t>(error);
    return static_cast<std::int32_t>(0x80070000u | (error & 0xFFFFu));
}

// ---------------------------------------------------------------------------
// URLs and headers

scheme scheme_of(std::wstring_view url) noexcept
{
    if (istarts_with(url, L"https://"))
        return scheme::https;
    if (istarts_with(url, L"http://"))
        return scheme::http;
    if (istarts_with(url, L"ftp://"))
        return scheme::ftp;
    return scheme::unknown;
}

bool split_url(std::wstring_view url, url_parts& parts)
{
    parts = url_parts{};
    const auto separator = url.find(L"://");
    if (separator == std::wstring_view::npos || separator == 0)
        return false;
    parts.kind = scheme_of(url);
    std::wstring_view rest = url.substr(separator + 3);
    const auto authority_end = rest.find_first_of(L"/?#");
    std::wstring_view authority = rest.substr(0, authority_end);
    std::wstring_view path =
        authority_end == std::wstring_view::npos ? std::wstring_view() : rest.substr(authority_end);

    const auto at = authority.rfind(L'@');
    if (at != std::wstring_view::npos) {
        const std::wstring_view credentials = authority.substr(0, at);
        const auto colon = credentials.find(L':');
        parts.user.assign(credentials.substr(0, colon));
        if (colon != std::wstring_view::npos)
            parts.password.assign(credentials.substr(colon + 1));
        authority.remove_prefix(at + 1);
    }

    std::wstring_view host = authority;
    std::wstring_view port;
    if (!authority.empty() && authority.front() == L'[') { // [IPv6]:port
        const auto close = authority.find(L']');
        if (close == std::wstring_view::npos)
            return false;
        host = authority.substr(0, close + 1);
        const std::wstring_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != L':')
                return false;
            port = after.substr(1);
        }
    } else {
        const auto colon = authority.rfind(L':');
        if (colon != std::wstring_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
        }
    }
    if (host.empty())
        return false;
    parts.host.assign(host);

    if (!port.empty()) {
        std::wstring_view digits = port;
        const auto value = take_count(digits);
        if (!value || !digits.empty() || *value < 1 || *value > 65535)
            return false;
        parts.port = static_cast<std::uint16_t>(*value);
    } else {
        switch (parts.kind) {
        case scheme::ftp:
            parts.port = 21;
            break;
        case scheme::http:
            parts.port = 80;
            break;
        case scheme::https:
            parts.port = 443;
            break;
        case scheme::unknown:
            parts.port = 0;
            break;
        }
    }

    const auto fragment = path.find(L'#');
    if (fragment != std::wstring_view::npos)
        path = path.substr(0, fragment);
    if (path.empty() || path.front() != L'/')
        parts.path = L"/" + std::wstring(path);
    else
        parts.path.assign(path);
    return true;
}

std::wstring percent_decode(std::wstring_view text)
{
    const auto hex = [](wchar_t c) -> int {
        if (c >= L'0' && c <= L'9')
            return c - L'0';
        if (c >= L'a' && c <= L'f')
            return c - L'a' + 10;
        if (c >= L'A' && c <= L'F')
            return c - L'A' + 10;
        return -1;
    };
    // Escapes stand for UTF-8 bytes; runs of them are decoded together.
    std::wstring out;
    std::string bytes;
    const auto flush = [&] {
        if (!bytes.empty()) {
            out += from_utf8(bytes);
            bytes.clear();
        }
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            bytes.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
            i += 2;
            continue;
        }
        flush();
        out.push_back(text[i]);
    }
    flush();
    return out;
}

std::wstring user_domain_backslashes(std::wstring_view given, std::wstring canonical)
{
    // The account is the text between "//" and the first '@'. Written
    // DOMAIN/user:password it holds one '/' and a ':' after it; anything
    // else with a '/' there is a path that happens to hold an '@'.
    const auto start = given.find(L"//");
    if (start == std::wstring_view::npos)
        return canonical;
    const auto at = given.find(L'@', start + 2);
    if (at == std::wstring_view::npos)
        return canonical;
    const std::wstring_view account = given.substr(start + 2, at - start - 2);
    const auto slash = account.find(L'/');
    if (account.find_first_of(L"?#") != std::wstring_view::npos || slash == std::wstring_view::npos ||
        account.find(L'/', slash + 1) != std::wstring_view::npos ||
        account.find(L':', slash) == std::wstring_view::npos)
        return canonical;

    const auto canonical_start = canonical.find(L"//");
    if (canonical_start == std::wstring::npos)
        return canonical;
    const auto canonical_at = canonical.find(L'@', canonical_start + 2);
    if (canonical_at == std::wstring::npos)
        return canonical;
    for (std::size_t i = canonical_start + 2; i < canonical_at; ++i)
        if (canonical[i] == L'/')
            canonical[i] = L'\\';
    return canonical;
}

std::wstring compose_headers(std::int64_t range_start, std::wstring_view extra)
{
    std::wstring headers;
    if (range_start != 0) {
        headers = ov::format(L"Range: bytes=%d-", range_start);
        if (!extra.empty())
            headers.append(L"\r\n");
    }
    headers.append(extra);
    return headers;
}

std::optional<std::int64_t> content_range_start(std::wstring_view header) noexcept
{
    const auto range = parse_content_range(header);
    if (!range)
        return std::nullopt;
    return range->first;
}

std::optional<std::int64_t> content_range_total(std::wstring_view header) noexcept
{
    const auto range = parse_content_range(header);
    if (!range)
        return std::nullopt;
    return range->total;
}

std::optional<std::int64_t> parse_count(std::wstring_view text) noexcept
{
    text = trim_blanks(text);
    const auto value = take_count(text);
    if (!value || !text.empty())
        return std::nullopt;
    return value;
}

response_plan plan_response(std::int64_t range_start, std::uint32_t status,
                            std::optional<std::wstring_view> range_header) noexcept
{
    response_plan plan;
    if (range_start < 0)
        return plan;
    if (status == 0 || (status_is_success(status) && status != 206)) {
        // The whole file from its first byte: FTP always, and an HTTP server
        // that ignored (or was not asked for) a range.
        plan.usable = true;
        plan.starts_at = 0;
        plan.skip = range_start;
        return plan;
    }
    if (status != 206 || !range_header)
        return plan;
    const auto first = content_range_start(*range_header);
    if (!first || *first > range_start)
        return plan; // a hole would follow: never use it
    plan.usable = true;
    plan.starts_at = *first;
    plan.skip = range_start - *first;
    return plan;
}

// ---------------------------------------------------------------------------
// The error decision

decision handler_decision(std::uint32_t answer) noexcept
{
    if (answer == retry_code)
        return decision::retry;
    if (answer == cancel_code)
        return decision::cancel;
    return decision::none;
}

decision dialog_decision(std::uint32_t answer) noexcept
{
    return answer == cancel_code ? decision::cancel : decision::retry;
}

bool resend_on_same_handle(std::uint32_t error) noexcept
{
    if (status_of_error(error))
        return true;
    switch (error) {
    case 12037: // certificate date invalid
    case 12038: // certificate name invalid
    case 12044: // client certificate needed
    case 12045: // unknown certificate authority
    case 12057: // revocation check failed
    case 12169: // invalid certificate
    case 12170: // certificate revoked
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------
// Rate measurement

void rate_meter::start(std::uint32_t now_ms) noexcept
{
    *this = rate_meter{};
    window_start_ = now_ms;
}

void rate_meter::add(std::uint32_t bytes, std::uint64_t elapsed, std::uint64_t frequency) noexcept
{
    if (frequency == 0)
        frequency = 1000;
    if (elapsed == 0)
        elapsed = 5;
    const std::uint32_t ms = saturate32(elapsed * 1000 / frequency);
    const std::uint64_t remainder_ticks = ((elapsed * 1000) % frequency) / 1000;
    const std::uint32_t us = saturate32(remainder_ticks * 1000000 / frequency);

    long_bytes_ += bytes;
    short_bytes_ += bytes;
    long_ms_ += ms;
    short_ms_ += ms;
    long_us_ += us;
    short_us_ += us;
    if (long_us_ > 1000) {
        long_ms_ += long_us_ / 1000;
        long_us_ %= 1000;
    }
    if (short_us_ > 1000) {
        short_ms_ += short_us_ / 1000;
        short_us_ %= 1000;
    }
}

std::uint32_t rate_meter::rate(std::uint32_t now_ms) noexcept
{
    if (now_ms - window_start_ > window_ms) {
        long_bytes_ = short_bytes_;
        long_ms_ = short_ms_;
        long_us_ = short_us_;
        short_bytes_ = short_ms_ = short_us_ = 0;
        window_start_ = now_ms;
    }
    if (long_ms_ == 0)
        return long_bytes_;
    std::uint32_t result = 0;
    for (const std::uint32_t k : {10u, 100u, 1000u}) {
        if (result != 0)
            break;
        // Halved (both, so the rate stays) until k times the bytes fits.
        while (long_bytes_ > 0xFFFFFFFFu / k) {
            long_bytes_ /= 2;
            long_ms_ /= 2;
        }
        if (long_ms_ == 0) // halving can empty the time: the bytes are then one second's worth at most
            return long_bytes_;
        // The scaled quotient fits 32 bits; the step back up to seconds may
        // not on a fast line, so it saturates instead of wrapping.
        const std::uint32_t scaled = k * long_bytes_ / long_ms_;
        result = saturate32(std::uint64_t{scaled} * 1000 / k);
    }
    return result;
}

std::uint32_t rate_meter::chunk_size(std::uint32_t now_ms, std::uint32_t remaining) noexcept
{
    std::uint64_t chunk = first_chunk;
    if (long_ms_ > warmup_ms && long_bytes_ > 0)
        chunk = std::uint64_t{rate(now_ms)} * chunk_seconds;
    chunk = std::min<std::uint64_t>(chunk, remaining);
    return chunk == 0 ? 1 : static_cast<std::uint32_t>(chunk);
}

// ---------------------------------------------------------------------------
// Downloads

std::wstring normalize_source(std::wstring_view source)
{
    std::wstring copy(source.substr(0, 1024));
    std::replace(copy.begin(), copy.end(), L'\\', L'/');
    if (copy.size() > 6 &&
        (istarts_with(copy, L"ftp://") || istarts_with(copy, L"http://") || istarts_with(copy, L"https://")))
        return copy;
    return L"http://" + copy;
}

bool is_unc_source(std::wstring_view source) noexcept
{
    return source.size() > 2 && source[0] == L'\\' && source[1] == L'\\';
}

std::wstring referer_header(std::wstring_view url)
{
    if (istarts_with(url, L"http://") || istarts_with(url, L"ftp://"))
        return L"Referer: " + std::wstring(url);
    return {};
}

std::uint32_t next_block_size(std::uint32_t current, std::uint32_t elapsed_ms) noexcept
{
    current = std::clamp(current, min_block, max_block);
    if (elapsed_ms < 100)
        return std::min(current * 2, max_block);
    if (elapsed_ms > 500)
        return std::max(current / 2, min_block);
    return current;
}

ProgressCalculator::ProgressCalculator(string_source texts) : texts_(std::move(texts))
{
    const auto text = [&](unsigned id) { return texts_ ? texts_(id) : std::wstring(); };
    hours_unit_ = text(ids_hours) + L" ";
    minutes_unit_ = text(ids_minutes) + L" ";
    seconds_unit_ = text(ids_seconds);
    time_prefix_ = text(ids_time_remaining);
}

void ProgressCalculator::start(std::int64_t total, std::uint32_t now_ms) noexcept
{
    total_ = total;
    received_ = 0;
    start_ms_ = now_ms;
}

progress_figures ProgressCalculator::compute(std::int64_t received, std::uint32_t now_ms) noexcept
{
    received_ = received;
    progress_figures figures;
    const std::int64_t hundredth = total_ / 100;
    if (hundredth > 0)
        figures.percent = static_cast<int>(std::clamp<std::int64_t>(received / hundredth, 0, 100));
    const std::uint32_t elapsed = now_ms - start_ms_;
    if (elapsed > 1000 && received > 0)
        figures.rate = saturate32(static_cast<std::uint64_t>(received) / (elapsed / 1000));
    if (figures.rate != 0 && total_ > received)
        figures.seconds_left = saturate32(static_cast<std::uint64_t>(total_ - received) / figures.rate);
    return figures;
}

std::wstring ProgressCalculator::rate_text(std::uint32_t rate, std::int64_t received, std::int64_t total) const
{
    if (rate == 0 || !texts_)
        return {};
    if (total == 0)
        total = total_;
    const bool megabytes = rate > 1048576u;
    const std::int64_t divisor = megabytes ? 1048576 : 1024;
    const std::wstring unit = texts_(megabytes ? ids_mb : ids_kb);
    const std::int64_t tenths = std::int64_t{rate} * 10 / divisor;
    return ov::format(texts_(ids_download_progress), received / divisor, unit, (total < 0 ? 0 : total) / divisor, unit,
                      tenths / 10, tenths % 10, unit, texts_(ids_per_second));
}

std::wstring ProgressCalculator::time_text(std::uint32_t seconds) const
{
    std::wstring text = time_prefix_ + L" ";
    const std::uint32_t hours = seconds / 3600;
    const std::uint32_t minutes = (seconds % 3600) / 60;
    if (hours != 0)
        text += ov::format(L"%d ", hours) + hours_unit_;
    if (minutes != 0)
        text += ov::format(L"%d ", minutes) + minutes_unit_;
    text += ov::format(L"%d ", seconds % 60) + seconds_unit_;
    return text;
}

} // namespace ov::inet
