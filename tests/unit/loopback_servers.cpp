#include "loopback_servers.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "ov_file.h"
#include "ov_format.h"
#include "ov_handles.h"
#include "ov_string.h"

#include <cstdlib>
#include <memory>
#include <mutex>

#ifndef OV_SOURCE_DIR
#error OV_SOURCE_DIR must name the source folder (a Linux path)
#endif

namespace {

// Wine's own path conversions (kernel32 exports that Windows lacks).
using unix_name_fn = char*(CDECL*)(const wchar_t*);
using dos_name_fn = wchar_t*(CDECL*)(const char*);

std::unique_ptr<LoopbackServers> g_servers;
std::string g_failure;
bool g_tried = false;

struct stop_at_exit {
    ~stop_at_exit() { LoopbackServers::stop_all(); }
} g_stop_at_exit;

std::string unix_path(const std::wstring& windows_path)
{
    const auto convert = reinterpret_cast<unix_name_fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert)
        return {};
    char* name = convert(windows_path.c_str());
    if (!name)
        return {};
    std::string result(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return result;
}

std::wstring dos_path(const char* unix_name)
{
    const auto convert = reinterpret_cast<dos_name_fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    if (!convert)
        return {};
    wchar_t* name = convert(unix_name);
    if (!name)
        return {};
    std::wstring result(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return result;
}

} // namespace

LoopbackServers* LoopbackServers::get(std::string& why)
{
    if (!g_tried) {
        g_tried = true;
        std::unique_ptr<LoopbackServers> servers(new LoopbackServers);
        if (servers->start(g_failure))
            g_servers = std::move(servers);
    }
    why = g_failure;
    return g_servers.get();
}

void LoopbackServers::stop_all() noexcept
{
    g_servers.reset();
}

namespace {

void remove_tree(const std::wstring& folder)
{
    WIN32_FIND_DATAW data = {};
    ov::unique_hfind find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(path);
            else
                ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(find.get(), &data));
    }
    ::RemoveDirectoryW(folder.c_str());
}

} // namespace

LoopbackServers::~LoopbackServers()
{
    if (control_ != ~std::uintptr_t{0})
        ::closesocket(static_cast<SOCKET>(control_)); // the servers stop
    if (!work_.empty())
        remove_tree(work_);
}

bool LoopbackServers::start(std::string& why)
{
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        why = "no Winsock";
        return false;
    }
    const std::wstring python = dos_path("/usr/bin/python3");
    if (python.empty() || ::GetFileAttributesW(python.c_str()) == INVALID_FILE_ATTRIBUTES) {
        why = "not under Wine, or no /usr/bin/python3";
        return false;
    }

    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    work_ = ov::format(L"%sovinet-%x-%x", temp, ::GetCurrentProcessId(), ::GetTickCount());
    ov::create_folders(work_ + L"\\www");
    const std::string unix_work = unix_path(work_);
    if (unix_work.empty()) {
        why = "no Linux path for the work folder";
        return false;
    }

    // The servers report to a socket of ours and live as long as it does.
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (listener == INVALID_SOCKET || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        why = "no listening socket";
        if (listener != INVALID_SOCKET)
            ::closesocket(listener);
        return false;
    }
    const unsigned control_port = ntohs(address.sin_port);

    std::wstring command = ov::format(L"\"%s\" \"%hs/tests/servers/loopback_servers.py\" --root \"%hs\" --control %u "
                                      L"--tls --stall-seconds 30",
                                      python, OV_SOURCE_DIR, unix_work.c_str(), control_port);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(python.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        why = "python3 did not start";
        ::closesocket(listener);
        return false;
    }
    ov::unique_handle process_handle(process.hProcess), thread_handle(process.hThread);

    // Certificates are made and three servers started: allow a minute.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval wait = {60, 0};
    if (::select(0, &readable, nullptr, nullptr, &wait) != 1) {
        why = "the servers did not report";
        ::closesocket(listener);
        return false;
    }
    SOCKET control = ::accept(listener, nullptr, nullptr);
    ::closesocket(listener);
    if (control == INVALID_SOCKET) {
        why = "no connection from the servers";
        return false;
    }
    control_ = static_cast<std::uintptr_t>(control);

    std::string line;
    char c = 0;
    DWORD timeout = 60000;
    ::setsockopt(control, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    while (line.size() < 512 && ::recv(control, &c, 1, 0) == 1 && c != '\n')
        line.push_back(c);
    if (line.rfind("error=", 0) == 0 || line.empty()) {
        why = "servers: " + (line.empty() ? std::string("no answer") : line);
        return false;
    }
    for (const auto& item : ov::split(ov::widen(line), L' ')) {
        const auto eq = item.find(L'=');
        if (eq == std::wstring::npos)
            continue;
        const auto name = item.substr(0, eq);
        const auto port = static_cast<std::uint16_t>(ov::parse_ulong(item.substr(eq + 1), 10));
        if (name == L"http")
            http_ = port;
        else if (name == L"https")
            https_ = port;
        else if (name == L"ftp")
            ftp_ = port;
        else if (name == L"faulty")
            faulty_ = port;
    }
    if (!http_ || !ftp_ || !faulty_) {
        why = "servers reported: " + line;
        return false;
    }
    return true;
}

void LoopbackServers::put(const std::wstring& name, const std::string& bytes) const
{
    ov::write_file_replacing(www() + L"\\" + name, bytes);
}

std::wstring LoopbackServers::url(const wchar_t* scheme, std::uint16_t port, const std::wstring& path)
{
    return ov::format(L"%s://127.0.0.1:%u/%s", scheme, port, path);
}

std::string LoopbackServers::read_log(const wchar_t* name) const
{
    return read_local(work_path(name));
}
std::string LoopbackServers::faulty_log() const
{
    return read_log(L"faulty.log");
}
std::string LoopbackServers::nginx_log() const
{
    return read_log(L"nginx-access.log");
}

int LoopbackServers::count_lines(const std::string& log, const std::string& part)
{
    int count = 0;
    std::size_t start = 0;
    while (start < log.size()) {
        auto end = log.find('\n', start);
        if (end == std::string::npos)
            end = log.size();
        if (log.compare(start, end - start, part) == 0 ||
            log.substr(start, end - start).find(part) != std::string::npos)
            ++count;
        start = end + 1;
    }
    return count;
}

std::string test_pattern(std::size_t size, std::uint32_t seed)
{
    std::string bytes(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; i += 4) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const std::uint32_t word = state ^ static_cast<std::uint32_t>(i / 4);
        for (std::size_t k = 0; k < 4 && i + k < size; ++k)
            bytes[i + k] = static_cast<char>(word >> (8 * k));
    }
    return bytes;
}

std::string read_local(const std::wstring& path)
{
    try {
        ov::file f;
        f.open_read(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
        return f.read_all(1u << 30);
    } catch (...) {
        return {};
    }
}

bool exists_local(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
