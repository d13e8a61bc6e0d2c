// The loopback servers of the download tests (tests/servers/loopback_servers.py),
// started from the Wine test program itself: Wine runs the Linux python3 as
// a child, which starts nginx (HTTP, HTTPS), pyftpdlib (FTP) and the
// fault-injecting server on free ports of 127.0.0.1 and tells the ports back
// over a connection to this program. The servers stop when that connection
// closes, so they also stop when the test program dies.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class LoopbackServers {
public:
    // The servers of this test program, started on first use. Null, with
    // `why` set, when they cannot run here (not under Wine, no python3, a
    // server that would not start).
    static LoopbackServers* get(std::string& why);
    // Stops them (also done at exit).
    static void stop_all() noexcept;

    ~LoopbackServers();

    // A file served by all servers: written into their folder.
    void put(const std::wstring& name, const std::string& bytes) const;
    // Windows path of the served folder, and of a file in the work folder.
    [[nodiscard]] std::wstring www() const { return work_ + L"\\www"; }
    [[nodiscard]] std::wstring work_path(const std::wstring& name) const { return work_ + L"\\" + name; }

    [[nodiscard]] std::wstring http(const std::wstring& path) const { return url(L"http", http_, path); }
    [[nodiscard]] std::wstring https(const std::wstring& path) const { return url(L"https", https_, path); }
    [[nodiscard]] std::wstring ftp(const std::wstring& path) const { return url(L"ftp", ftp_, path); }
    // The fault-injecting server: paths as in tests/servers/faulty_http.py.
    [[nodiscard]] std::wstring faulty(const std::wstring& path) const { return url(L"http", faulty_, path); }
    [[nodiscard]] std::uint16_t ftp_port() const { return ftp_; }

    // Request logs: "<path> range=<Range or ->" per line (faulty server),
    // "<request> \"<Range>\" <status> <bytes>" per line (nginx).
    [[nodiscard]] std::string faulty_log() const;
    [[nodiscard]] std::string nginx_log() const;
    // Lines of a log that contain `part`.
    [[nodiscard]] static int count_lines(const std::string& log, const std::string& part);

private:
    LoopbackServers() = default;
    bool start(std::string& why);
    [[nodiscard]] static std::wstring url(const wchar_t* scheme, std::uint16_t port, const std::wstring& path);
    [[nodiscard]] std::string read_log(const wchar_t* name) const;

    std::wstring work_;
    std::uintptr_t control_ = ~std::uintptr_t{0}; // the socket that keeps the servers alive
    std::uint16_t http_ = 0, https_ = 0, ftp_ = 0, faulty_ = 0;
};

// Deterministic content whose every 4-byte word differs from its
// neighbours, so that data at a wrong offset never compares equal.
[[nodiscard]] std::string test_pattern(std::size_t size, std::uint32_t seed);
// The whole content of a local file ("" when it cannot be read) and whether
// it exists.
[[nodiscard]] std::string read_local(const std::wstring& path);
[[nodiscard]] bool exists_local(const std::wstring& path);
