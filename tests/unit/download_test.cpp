// The download manager against the loopback servers: whole files arrive
// byte-exact and only under their name once complete; failures and cancels
// leave nothing behind and never touch a file already at the target.
#include "download.h"
#include "inetlogic.h"
#include "loopback_servers.h"
#include "ov_file.h"
#include "ov_handles.h"
#include "paths.h"
#include "processstate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kSmall = 5000;
constexpr std::size_t kBig = 8u << 20;
const HRESULT kCancelled = HRESULT_FROM_WIN32(ERROR_CANCELLED);

// Records what the transfer reports; can stop after a number of blocks.
class Recorder final : public IDownloadProgressHandler {
public:
    int on_start(DownloadProgress& p) noexcept override
    {
        events.push_back("start");
        total = p.total;
        return kDownloadGoOn;
    }
    int on_progress(DownloadProgress& p) noexcept override
    {
        if (p.received < last)
            backwards = true;
        last = p.received;
        ++blocks;
        return (stop_after && blocks >= stop_after) ? kDownloadStop : kDownloadGoOn;
    }
    int on_error(DownloadProgress& p) noexcept override
    {
        events.push_back("error");
        errors.push_back(p.result);
        return kDownloadGoOn;
    }
    int on_complete(DownloadProgress& p) noexcept override
    {
        events.push_back("complete");
        final_result = p.result;
        return kDownloadGoOn;
    }
    std::vector<std::string> events;
    std::vector<HRESULT> errors;
    std::int64_t total = -2, last = 0;
    int blocks = 0, stop_after = 0;
    bool backwards = false;
    HRESULT final_result = 1;
};

class Downloads : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        servers_ = LoopbackServers::get(why);
        if (!servers_)
            GTEST_SKIP() << "no loopback servers: " << why;
        small_ = test_pattern(kSmall, 3);
        big_ = test_pattern(kBig, 4);
        servers_->put(L"small.bin", small_);
        servers_->put(L"big.bin", big_);
        folder_ = servers_->work_path(L"downloads-" + std::to_wstring(++counter_));
        ov::create_folders(folder_);
        options_.timeout_ms = 10000;
        options_.error_dialog = false;
        Process().Cancelled = false;
    }
    void TearDown() override { Process().Cancelled = false; }

    std::wstring target(const wchar_t* name) const { return ov::path::join(folder_, name); }

    // Everything in the download folder: no temporary may stay behind.
    std::vector<std::wstring> files() const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data = {};
        ov::unique_hfind find(::FindFirstFileW(ov::path::join(folder_, L"*").c_str(), &data));
        if (find) {
            do {
                const std::wstring name = data.cFileName;
                if (name != L"." && name != L"..")
                    names.push_back(name);
            } while (::FindNextFileW(find.get(), &data));
        }
        return names;
    }

    LoopbackServers* servers_ = nullptr;
    std::string small_, big_;
    std::wstring folder_;
    DownloadOptions options_;
    static inline int counter_ = 0;
};

TEST_F(Downloads, WholeFilesArriveByteExact)
{
    struct row {
        const char* name;
        std::wstring url;
        const std::string* content;
    };
    const row rows[] = {
        {"HTTP", servers_->http(L"big.bin"), &big_},
        {"FTP", servers_->ftp(L"big.bin"), &big_},
        {"scheme in capitals", L"HTTP://" + servers_->http(L"small.bin").substr(7), &small_},
        // No scheme: fetched over HTTP, backslashes turned into slashes.
        {"no scheme", servers_->http(L"small.bin").substr(7), &small_},
        {"no scheme, backslashes", servers_->http(L"").substr(7, servers_->http(L"").size() - 8) + L"\\small.bin",
         &small_},
    };
    int n = 0;
    for (const auto& r : rows) {
        const std::wstring to = target((L"file" + std::to_wstring(++n) + L".bin").c_str());
        Recorder recorder;
        HRESULT result = E_FAIL;
        ASSERT_TRUE(DownloadUrlToFile(r.url, to, &recorder, result, options_))
            << r.name << ": 0x" << std::hex << result;
        EXPECT_EQ(result, S_OK) << r.name;
        EXPECT_TRUE(read_local(to) == *r.content) << r.name;
        EXPECT_EQ(recorder.events, (std::vector<std::string>{"start", "complete"})) << r.name;
        EXPECT_EQ(recorder.total, static_cast<std::int64_t>(r.content->size())) << r.name;
        EXPECT_EQ(recorder.last, static_cast<std::int64_t>(r.content->size())) << r.name;
        EXPECT_FALSE(recorder.backwards) << r.name;
    }
    EXPECT_EQ(files().size(), std::size(rows)); // the targets and nothing else
}

TEST_F(Downloads, ADroppedConnectionResumesWithARange)
{
    const std::wstring to = target(L"resumed.bin");
    HRESULT result = E_FAIL;
    ASSERT_TRUE(DownloadUrlToFile(servers_->faulty(L"drop/3000000/big.bin"), to, nullptr, result, options_))
        << std::hex << result;
    EXPECT_TRUE(read_local(to) == big_);
    const std::string log = servers_->faulty_log();
    EXPECT_EQ(LoopbackServers::count_lines(log, "/drop/3000000/big.bin range=-"), 1) << log; // size and data
    EXPECT_EQ(LoopbackServers::count_lines(log, "/drop/3000000/big.bin range=bytes=3000000-"), 1) << log;
}

TEST_F(Downloads, FailuresLeaveNothingAndKeepTheOldFile)
{
    struct row {
        const char* name;
        std::wstring url;
        HRESULT result;
        DWORD timeout_ms;
    };
    const row rows[] = {
        {"404", servers_->faulty(L"status/404"), static_cast<HRESULT>(0x8004D554u), 10000},
        {"500", servers_->faulty(L"status/500"), static_cast<HRESULT>(0x8004D5B4u), 10000},
        {"missing on nginx", servers_->http(L"missing.bin"), static_cast<HRESULT>(0x8004D554u), 10000},
        {"no Content-Length", servers_->faulty(L"nolength/small.bin"), static_cast<HRESULT>(0x8004D554u), 10000},
        {"stall past the time-out", servers_->faulty(L"stall/1000/big.bin"), static_cast<HRESULT>(0x80072EE2u), 700},
        {"nobody listening", L"http://127.0.0.1:1/x.bin", static_cast<HRESULT>(0x80072EFDu), 10000},
        {"missing on the FTP server", servers_->ftp(L"missing.bin"), 0, 10000},
    };
    for (const auto& r : rows) {
        const std::wstring to = target(L"kept.bin");
        ov::write_file_replacing(to, "the good old file");
        Recorder recorder;
        DownloadOptions options = options_;
        options.timeout_ms = r.timeout_ms;
        HRESULT result = S_OK;
        EXPECT_FALSE(DownloadUrlToFile(r.url, to, &recorder, result, options)) << r.name;
        if (r.result)
            EXPECT_EQ(static_cast<std::uint32_t>(result), static_cast<std::uint32_t>(r.result)) << r.name;
        else
            EXPECT_TRUE(FAILED(result)) << r.name;
        EXPECT_EQ(read_local(to), "the good old file") << r.name;
        EXPECT_EQ(files(), std::vector<std::wstring>{L"kept.bin"}) << r.name;
        ASSERT_FALSE(recorder.errors.empty()) << r.name;
        EXPECT_TRUE(FAILED(recorder.errors.back())) << r.name;
    }
}

TEST_F(Downloads, AWrongLengthIsDetected)
{
    // 5000 bytes come where 10000 were announced: not a complete file.
    const std::wstring to = target(L"short.bin");
    Recorder recorder;
    HRESULT result = S_OK;
    EXPECT_FALSE(DownloadUrlToFile(servers_->faulty(L"badlength/5000/small.bin"), to, &recorder, result, options_));
    EXPECT_TRUE(result == static_cast<HRESULT>(ov::inet::http_status_error(416)) ||
                result == static_cast<HRESULT>(0x80072EFFu))
        << std::hex << result;
    EXPECT_FALSE(exists_local(to));
    EXPECT_TRUE(files().empty());
}

TEST_F(Downloads, CancelStopsAndRemovesThePartialFile)
{
    // The handler says stop after the first block.
    {
        const std::wstring to = target(L"cancelled.bin");
        Recorder recorder;
        recorder.stop_after = 1;
        HRESULT result = S_OK;
        EXPECT_FALSE(DownloadUrlToFile(servers_->http(L"big.bin"), to, &recorder, result, options_));
        EXPECT_EQ(result, kCancelled);
        EXPECT_EQ(recorder.final_result, kCancelled);
        EXPECT_EQ(recorder.blocks, 1);
        EXPECT_TRUE(files().empty());
    }
    // The setup's Cancel while the transfer hangs in the network: the wait
    // loop passes it on and the transfer ends long before its time-out.
    struct row {
        const char* name;
        bool post_thread_message;
    };
    for (const row r : {row{"cancelled flag", false}, row{"thread message 0x8032", true}}) {
        const std::wstring to = target(L"stalled.bin");
        const DWORD waiting_thread = ::GetCurrentThreadId();
        std::thread cancel([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            if (r.post_thread_message)
                ::PostThreadMessageW(waiting_thread, 0x8032, 0, 0);
            else
                Process().Cancelled = true;
        });
        DownloadOptions options = options_;
        options.timeout_ms = 20000;
        HRESULT result = S_OK;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(DownloadUrlToFile(servers_->faulty(L"stall/1000/big.bin"), to, nullptr, result, options))
            << r.name;
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        cancel.join();
        EXPECT_EQ(result, kCancelled) << r.name;
        EXPECT_LT(ms, 5000) << r.name;
        EXPECT_TRUE(files().empty()) << r.name;
        Process().Cancelled = false;
    }
}

TEST_F(Downloads, CDownloadShowsProgressAndCopiesUncSources)
{
    class View final : public DownloadView {
    public:
        bool set_progress(int percent) noexcept override
        {
            percents.push_back(percent);
            return false;
        }
        void set_time_text(const std::wstring& text) noexcept override { times.push_back(text); }
        void set_rate_text(const std::wstring& text) noexcept override { rates.push_back(text); }
        std::vector<int> percents;
        std::vector<std::wstring> times, rates;
    } view;

    CDownload download(nullptr, &view);
    download.set_options(options_);
    const std::wstring to = target(L"viewed.bin");
    ASSERT_TRUE(download.download(servers_->http(L"big.bin"), to)) << std::hex << download.result();
    EXPECT_TRUE(read_local(to) == big_);
    ASSERT_GE(view.percents.size(), 3u);
    EXPECT_EQ(view.percents.front(), 0);
    EXPECT_EQ(view.percents.back(), 100);
    // Within the first second: no rate, and 0 seconds left.
    ASSERT_FALSE(view.times.empty());
    EXPECT_EQ(view.times.front(), L"Estimated time remaining:  0 sec");
    EXPECT_EQ(view.rates.front(), L"");
    EXPECT_EQ(view.times.back(), L""); // emptied at the end
    EXPECT_EQ(view.rates.back(), L"");

    // Two backslashes: copied, not fetched.
    const std::wstring unc = L"\\\\?\\" + to;
    const std::wstring copy = target(L"copied.bin");
    ASSERT_TRUE(download.download(unc, copy)) << std::hex << download.result();
    EXPECT_TRUE(read_local(copy) == big_);
    EXPECT_FALSE(download.download(L"\\\\?\\" + target(L"absent.bin"), target(L"absent-copy.bin")));
    EXPECT_EQ(files().size(), 2u);
}

} // namespace

TEST(WinInetVersion, IsRecentEnough)
{
    EXPECT_TRUE(IsWinInetRecentEnough());
}
