// The internet layer's and the download manager's decisions, without Windows.
#include "inetlogic.h"

#include <gtest/gtest.h>

#include <map>

using namespace ov::inet;

TEST(InetStatus, StatusErrorsAreTheBasePlusTheStatus)
{
    struct row {
        std::uint32_t status;
        std::uint32_t error;
    };
    const row rows[] = {{404, 0x8004D554u}, {500, 0x8004D5B4u}, {416, 0x8004D560u},
                        {301, 0x8004D4EDu}, {100, 0x8004D424u}, {999, 0x8004D7A7u}};
    for (const auto& r : rows) {
        EXPECT_EQ(http_status_error(r.status), r.error) << r.status;
        EXPECT_EQ(status_of_error(r.error), r.status) << r.status;
        // A status error is an HRESULT already: it is reported unchanged.
        EXPECT_EQ(static_cast<std::uint32_t>(hresult_of(r.error)), r.error) << r.status;
    }
    EXPECT_EQ(size_unknown_error, 0x8004D554u);
    EXPECT_FALSE(status_of_error(0x80070005u));
    EXPECT_FALSE(status_of_error(12002));
    for (std::uint32_t s : {199u, 300u, 404u, 0u})
        EXPECT_FALSE(status_is_success(s)) << s;
    for (std::uint32_t s : {200u, 206u, 299u})
        EXPECT_TRUE(status_is_success(s)) << s;
}

TEST(InetStatus, WindowsErrorsBecomeHresults)
{
    const std::map<std::uint32_t, std::uint32_t> rows = {
        {5, 0x80070005u},
        {12002, 0x80072EE2u},
        {12029, 0x80072EFDu},
        {1223, 0x800704C7u},
        // A failure that set no code must not read as success.
        {0, 0x80004005u},
    };
    for (const auto& [error, hresult] : rows)
        EXPECT_EQ(static_cast<std::uint32_t>(hresult_of(error)), hresult) << error;
}

TEST(InetUrl, Splitting)
{
    struct row {
        const wchar_t* url;
        bool ok;
        scheme kind;
        const wchar_t* user;
        const wchar_t* password;
        const wchar_t* host;
        std::uint16_t port;
        const wchar_t* path;
    };
    const row rows[] = {
        {L"http://example.com/a/b.msi", true, scheme::http, L"", L"", L"example.com", 80, L"/a/b.msi"},
        {L"HTTPS://Example.com:8443/x?y=1#frag", true, scheme::https, L"", L"", L"Example.com", 8443, L"/x?y=1"},
        {L"ftp://u:p@127.0.0.1:2121/dir/f.bin", true, scheme::ftp, L"u", L"p", L"127.0.0.1", 2121, L"/dir/f.bin"},
        {L"ftp://host", true, scheme::ftp, L"", L"", L"host", 21, L"/"},
        {L"http://host?q", true, scheme::http, L"", L"", L"host", 80, L"/?q"},
        {L"http://a@b@host/p", true, scheme::http, L"a@b", L"", L"host", 80, L"/p"},
        {L"http://[::1]:8080/p", true, scheme::http, L"", L"", L"[::1]", 8080, L"/p"},
        {L"gopher://host/p", true, scheme::unknown, L"", L"", L"host", 0, L"/p"},
        {L"http:///p", false, scheme::http, L"", L"", L"", 0, L""},
        {L"http://host:0/p", false, scheme::http, L"", L"", L"", 0, L""},
        {L"http://host:65536/p", false, scheme::http, L"", L"", L"", 0, L""},
        {L"http://host:8x/p", false, scheme::http, L"", L"", L"", 0, L""},
        {L"host/p", false, scheme::unknown, L"", L"", L"", 0, L""},
    };
    for (const auto& r : rows) {
        url_parts parts;
        const bool ok = split_url(r.url, parts);
        ASSERT_EQ(ok, r.ok) << r.url;
        if (!ok)
            continue;
        EXPECT_EQ(parts.kind, r.kind) << r.url;
        EXPECT_EQ(parts.user, r.user) << r.url;
        EXPECT_EQ(parts.password, r.password) << r.url;
        EXPECT_EQ(parts.host, r.host) << r.url;
        EXPECT_EQ(parts.port, r.port) << r.url;
        EXPECT_EQ(parts.path, r.path) << r.url;
    }
}

TEST(InetUrl, DomainAndUserReachTheServerWithABackslash)
{
    struct row {
        const wchar_t* given;
        const wchar_t* canonical;
        const wchar_t* expected;
    };
    const row rows[] = {
        // The account DOMAIN/user before the '@' gets its backslash...
        {L"http://DOMAIN/user:pw@host/p/q", L"http://DOMAIN/user:pw@host/p/q", L"http://DOMAIN\\user:pw@host/p/q"},
        {L"ftp://CORP/joe:pw@127.0.0.1:2121/f", L"ftp://CORP/joe:pw@127.0.0.1:2121/f",
         L"ftp://CORP\\joe:pw@127.0.0.1:2121/f"},
        // Two '/' before the '@' or no password: a path, not an account.
        {L"http://host/a/b:c@d", L"http://host/a/b:c@d", L"http://host/a/b:c@d"},
        {L"http://host/p@q/r", L"http://host/p@q/r", L"http://host/p@q/r"},
        // ...a '/' after the '@' is untouched...
        {L"http://user:pw@host/p/q", L"http://user:pw@host/p/q", L"http://user:pw@host/p/q"},
        // ...and without a user part nothing changes.
        {L"http://host", L"http://host/", L"http://host/"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(user_domain_backslashes(r.given, r.canonical), r.expected) << r.given;
}

TEST(InetHeaders, RangeLineThenTheExtraHeaders)
{
    struct row {
        std::int64_t start;
        const wchar_t* extra;
        const wchar_t* expected;
    };
    const row rows[] = {
        {0, L"", L""},
        {0, L"Referer: http://h/a", L"Referer: http://h/a"},
        {100, L"", L"Range: bytes=100-"},
        {100, L"Referer: http://h/a", L"Range: bytes=100-\r\nReferer: http://h/a"},
        // Files beyond 2 GiB resume at their real position.
        {5000000000LL, L"", L"Range: bytes=5000000000-"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(compose_headers(r.start, r.extra), r.expected) << r.start << " " << r.extra;
}

TEST(InetHeaders, ContentRangeAndLength)
{
    EXPECT_EQ(content_range_start(L"bytes 100-4999/5000"), 100);
    EXPECT_EQ(content_range_total(L"bytes 100-4999/5000"), 5000);
    EXPECT_EQ(content_range_start(L"  bytes 0-0/*  "), 0);
    EXPECT_FALSE(content_range_total(L"bytes 0-0/*"));
    EXPECT_EQ(content_range_start(L"bytes=7-9/10"), 7);
    for (const wchar_t* bad : {L"", L"bytes", L"bytes x-1/2", L"bytes 5-4/10", L"bytes 1-2", L"bytes 1-2/3x"})
        EXPECT_FALSE(content_range_start(bad)) << bad;

    EXPECT_EQ(parse_count(L"5000"), 5000);
    EXPECT_EQ(parse_count(L" 268435456\r\n"), 268435456);
    EXPECT_EQ(parse_count(L"6000000000"), 6000000000LL);
    for (const wchar_t* bad : {L"", L"-1", L"12a", L"99999999999999999999"})
        EXPECT_FALSE(parse_count(bad)) << bad;
}

TEST(InetResume, WhatAResponseToARangeRequestMeans)
{
    struct row {
        const char* name;
        std::int64_t start;
        std::uint32_t status;
        std::optional<std::wstring_view> content_range;
        bool usable;
        std::int64_t skip;
    };
    const row rows[] = {
        {"whole file asked, whole file sent", 0, 200, std::nullopt, true, 0},
        {"range honoured", 1000, 206, L"bytes 1000-4999/5000", true, 0},
        {"range ignored: the first bytes are thrown away", 1000, 200, std::nullopt, true, 1000},
        {"range starts earlier than asked", 1000, 206, L"bytes 600-4999/5000", true, 400},
        {"range starts later: a hole would follow", 1000, 206, L"bytes 1200-4999/5000", false, 0},
        {"partial content without its range", 1000, 206, std::nullopt, false, 0},
        {"FTP starts at 0", 3000, 0, std::nullopt, true, 3000},
        {"failure status", 1000, 416, std::nullopt, false, 0},
    };
    for (const auto& r : rows) {
        const auto plan = plan_response(r.start, r.status, r.content_range);
        EXPECT_EQ(plan.usable, r.usable) << r.name;
        if (plan.usable) {
            EXPECT_EQ(plan.skip, r.skip) << r.name;
            EXPECT_EQ(plan.starts_at + plan.skip, r.start) << r.name;
        }
    }
}

TEST(InetDecision, HandlerDialogAndResend)
{
    EXPECT_EQ(handler_decision(12032), decision::retry);
    EXPECT_EQ(handler_decision(1223), decision::cancel);
    for (std::uint32_t other : {0u, 1u, 12002u, 0x8004D554u})
        EXPECT_EQ(handler_decision(other), decision::none) << other;

    EXPECT_EQ(dialog_decision(1223), decision::cancel);
    // The dialog answers 0 for errors it has nothing to show for: try again.
    for (std::uint32_t other : {0u, 12032u, 5u})
        EXPECT_EQ(dialog_decision(other), decision::retry) << other;

    for (std::uint32_t same : {http_status_error(404), http_status_error(500), 12045u, 12038u})
        EXPECT_TRUE(resend_on_same_handle(same)) << same;
    for (std::uint32_t fresh : {12002u, 12029u, 12031u, 12007u, 5u})
        EXPECT_FALSE(resend_on_same_handle(fresh)) << fresh;
}

TEST(InetRate, WindowsAccumulateAndRoll)
{
    rate_meter meter;
    meter.start(0);
    // 1.5 ms in ticks of a 1 MHz counter: 1 ms and 500 us.
    meter.add(1500, 1500, 1000000);
    EXPECT_EQ(meter.long_ms(), 1u);
    meter.add(1500, 1500, 1000000); // the remainders make another millisecond
    EXPECT_EQ(meter.long_ms(), 2u);
    EXPECT_EQ(meter.long_bytes(), 3000u);
    EXPECT_EQ(meter.short_bytes(), 3000u);
    // A read measured as 0 ticks counts as 5.
    meter.add(10, 0, 1000);
    EXPECT_EQ(meter.long_ms(), 7u);

    // 30 s later the long window takes the short one's place, which starts again.
    rate_meter rolling;
    rolling.start(0);
    rolling.add(100000, 1000, 1000);
    (void)rolling.rate(30001);
    EXPECT_EQ(rolling.long_bytes(), 100000u);
    EXPECT_EQ(rolling.short_bytes(), 0u);
    rolling.add(5000, 1000, 1000);
    EXPECT_EQ(rolling.short_bytes(), 5000u);
}

TEST(InetRate, RatesFromSlowToFast)
{
    struct row {
        std::uint32_t bytes;
        std::uint32_t ms;
        std::uint32_t rate;
    };
    const row rows[] = {
        {1000, 1000, 1000},
        {1000, 3000, 300},               // integer steps of the scaling
        {3, 10000, 0},                   // below one byte per ten milliseconds... k grows
        {100000000, 1000, 100000000},    // 100 MB/s
        {4000000000u, 4000, 1000000000}, // 1 GB/s: the window is halved until it fits 32 bits
    };
    for (const auto& r : rows) {
        rate_meter meter;
        meter.start(0);
        meter.add(r.bytes, r.ms, 1000);
        const auto rate = meter.rate(r.ms);
        if (r.bytes == 3)
            EXPECT_EQ(rate, 0u);
        else
            EXPECT_NEAR(static_cast<double>(rate), r.rate, r.rate * 0.01 + 1) << r.bytes << "/" << r.ms;
    }
    // No time measured yet: the byte count stands for the rate.
    rate_meter fresh;
    fresh.start(0);
    EXPECT_EQ(fresh.rate(0), 0u);
}

TEST(InetRate, ChunksStartSmallThenFollowTheRate)
{
    rate_meter meter;
    meter.start(0);
    EXPECT_EQ(meter.chunk_size(0, 65536), rate_meter::first_chunk);
    EXPECT_EQ(meter.chunk_size(0, 100), 100u); // never more than asked
    EXPECT_EQ(meter.chunk_size(0, 0), 1u);     // never nothing
    const std::uint32_t half = rate_meter::warmup_ms / 2;
    meter.add(1000, half, 1000); // within the warm-up
    EXPECT_EQ(meter.chunk_size(half, 1u << 30), rate_meter::first_chunk);
    meter.add(1000, rate_meter::warmup_ms, 1000); // 2000 bytes in 1.5 warm-ups
    const std::uint32_t rate = 2000u * 1000u / (half + rate_meter::warmup_ms);
    // The 32-bit scaling rounds the rate down by up to 1%.
    EXPECT_NEAR(meter.chunk_size(100, 1u << 30), rate * rate_meter::chunk_seconds,
                rate * rate_meter::chunk_seconds / 100.0);
    EXPECT_EQ(meter.chunk_size(100, 4096), 4096u);
}

TEST(DownloadSource, Normalising)
{
    struct row {
        const wchar_t* source;
        const wchar_t* url;
    };
    const row rows[] = {
        {L"http://h/a.msi", L"http://h/a.msi"}, {L"HTTP://H/A.MSI", L"HTTP://H/A.MSI"},
        {L"ftp://h/a", L"ftp://h/a"},           {L"https://h/a", L"https://h/a"},
        {L"h/a.msi", L"http://h/a.msi"},        {L"server\\share\\a.msi", L"http://server/share/a.msi"},
        {L"http:\\\\h\\a", L"http://h/a"},      {L"ftp://", L"http://ftp://"}, // not longer than 6 characters
    };
    for (const auto& r : rows)
        EXPECT_EQ(normalize_source(r.source), r.url) << r.source;
    EXPECT_EQ(normalize_source(std::wstring(2000, L'a')).size(), 7u + 1024u);

    EXPECT_TRUE(is_unc_source(L"\\\\server\\share\\a.msi"));
    EXPECT_FALSE(is_unc_source(L"\\\\"));
    EXPECT_FALSE(is_unc_source(L"\\server"));
    EXPECT_FALSE(is_unc_source(L"http://h/a"));

    EXPECT_EQ(referer_header(L"http://h/a"), L"Referer: http://h/a");
    EXPECT_EQ(referer_header(L"ftp://h/a"), L"Referer: ftp://h/a");
    EXPECT_EQ(referer_header(L"https://h/a"), L"");
}

TEST(DownloadBlocks, GrowOnAFastLineShrinkOnASlowOne)
{
    struct row {
        std::uint32_t current;
        std::uint32_t elapsed;
        std::uint32_t next;
    };
    const row rows[] = {
        {min_block, 10, 2 * min_block}, {max_block, 10, max_block},   {1u << 20, 300, 1u << 20},
        {1u << 20, 900, 1u << 19},      {min_block, 5000, min_block}, {0, 300, min_block},
    };
    for (const auto& r : rows)
        EXPECT_EQ(next_block_size(r.current, r.elapsed), r.next) << r.current << " " << r.elapsed;
}

namespace {

std::wstring english(unsigned id)
{
    switch (id) {
    case ids_hours:
        return L"hr";
    case ids_minutes:
        return L"min";
    case ids_seconds:
        return L"sec";
    case ids_mb:
        return L"MB";
    case ids_kb:
        return L"KB";
    case ids_per_second:
        return L"/sec";
    case ids_time_remaining:
        return L"Estimated time remaining: ";
    case ids_download_progress:
        return L"%d %s of %d %s downloaded at %01d.%01d %s%s";
    default:
        return L"?";
    }
}

} // namespace

TEST(DownloadProgressFigures, PercentRateAndTimeLeft)
{
    struct row {
        const char* name;
        std::int64_t total;
        std::int64_t received;
        std::uint32_t elapsed_ms;
        int percent;
        std::uint32_t rate;
        std::uint32_t seconds_left;
    };
    const row rows[] = {
        {"first second: no rate, no time", 1000000, 500000, 1000, 50, 0, 0},
        {"steady", 1000000, 250000, 5000, 25, 50000, 15},
        {"whole seconds only", 1000000, 300000, 2999, 30, 150000, 4},
        {"below 100 bytes the bar waits", 99, 98, 2000, 0, 49, 0},
        {"more than announced stays at 100", 1000, 5000, 2000, 100, 2500, 0},
        {"unknown total", -1, 5000, 2000, 0, 2500, 0},
        {"beyond 4 GiB", 6000000000LL, 3000000000LL, 10000, 50, 300000000, 10},
    };
    for (const auto& r : rows) {
        ProgressCalculator calculator(english);
        calculator.start(r.total, 100);
        const auto figures = calculator.compute(r.received, 100 + r.elapsed_ms);
        EXPECT_EQ(figures.percent, r.percent) << r.name;
        EXPECT_EQ(figures.rate, r.rate) << r.name;
        EXPECT_EQ(figures.seconds_left, r.seconds_left) << r.name;
    }
}

TEST(DownloadProgressFigures, Texts)
{
    ProgressCalculator calculator(english);
    calculator.start(10 * 1048576, 0);
    struct rate_row {
        std::uint32_t rate;
        std::int64_t received;
        std::int64_t total;
        const wchar_t* text;
    };
    const rate_row rates[] = {
        {0, 5000, 0, L""},
        {1048576, 3 * 1048576, 0, L"3072 KB of 10240 KB downloaded at 1024.0 KB/sec"}, // exactly 1 MB/s: KB
        {1048577, 3 * 1048576, 0, L"3 MB of 10 MB downloaded at 1.0 MB/sec"},
        {1572864, 5 * 1048576, 8 * 1048576, L"5 MB of 8 MB downloaded at 1.5 MB/sec"},
        {1536, 2048, 0, L"2 KB of 10240 KB downloaded at 1.5 KB/sec"},
    };
    for (const auto& r : rates)
        EXPECT_EQ(calculator.rate_text(r.rate, r.received, r.total), r.text) << r.rate;

    const std::map<std::uint32_t, std::wstring> times = {
        {0, L"Estimated time remaining:  0 sec"},
        {59, L"Estimated time remaining:  59 sec"},
        {60, L"Estimated time remaining:  1 min 0 sec"},
        {3600, L"Estimated time remaining:  1 hr 0 sec"},
        {3725, L"Estimated time remaining:  1 hr 2 min 5 sec"},
    };
    for (const auto& [seconds, text] : times)
        EXPECT_EQ(calculator.time_text(seconds), text) << seconds;
}

TEST(InetUrl, PercentDecoding)
{
    const std::map<std::wstring, std::wstring> rows = {
        {L"/dir/a%20b.bin", L"/dir/a b.bin"},
        {L"/%C3%A9t%C3%A9.msi", L"/\u00e9t\u00e9.msi"},
        {L"/100%", L"/100%"},
        {L"/%4", L"/%4"},
        {L"/%zz", L"/%zz"},
        {L"/plain", L"/plain"},
    };
    for (const auto& [text, decoded] : rows)
        EXPECT_EQ(percent_decode(text), decoded);
}
