#include "deleteaction.h"

#include "inifile.h"
#include "ov_exceptions.h"
#include "ov_file.h"
#include "ov_handles.h"
#include "ov_string.h"
#include "paths.h"
#include "processstate.h"

#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <memory>
#include <vector>

namespace {

constexpr DWORD kRetryIntervalMs = 1000;
constexpr int kHelperAttempts = 10;

// Set while a pass runs: a slow pass must not overlap with the next tick.
bool g_pass_running = false;

std::wstring module_path(HMODULE module)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        if (buffer.size() >= 32768)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring system_folder()
{
    wchar_t buffer[MAX_PATH] = {};
    const UINT n = ::GetSystemDirectoryW(buffer, MAX_PATH);
    return (n > 0 && n < MAX_PATH) ? std::wstring(buffer, n) : std::wstring();
}

std::wstring current_folder()
{
    const DWORD n = ::GetCurrentDirectoryW(0, nullptr);
    if (n == 0)
        return {};
    std::wstring buffer(n, L'\0');
    const DWORD m = ::GetCurrentDirectoryW(n, buffer.data());
    if (m == 0 || m >= n)
        return {};
    buffer.resize(m);
    return buffer;
}

bool exists(const std::wstring& path) noexcept
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_folder(const std::wstring& path) noexcept
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A drive root or a relative name is never removed as "the launcher's folder".
bool is_removable_folder(const std::wstring& folder)
{
    return ov::path::is_absolute(folder) && !ov::path::folder_of(folder).empty();
}

// Removes an empty folder. Failure when there is no folder at the path.
bool remove_folder(const std::wstring& folder) noexcept
{
    try {
        ov::error_mode_guard quiet;
        if (!is_folder(folder))
            return false;
        // A process cannot remove the folder it stands in on Windows.
        const auto here = current_folder();
        if (!here.empty() && ov::path::is_within(here, folder)) {
            const auto system = system_folder();
            if (!system.empty())
                ::SetCurrentDirectoryW(system.c_str());
        }
        ::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
        return ::RemoveDirectoryW(folder.c_str()) || !exists(folder);
    } catch (...) {
        return false;
    }
}

// Deletes a file. Success when no file exists at the path; a file that cannot
// be opened for reading without sharing is in use and stays untouched.
bool delete_file(const std::wstring& path) noexcept
{
    ov::error_mode_guard quiet;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
               error == ERROR_BAD_PATHNAME || error == ERROR_INVALID_DRIVE;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return remove_folder(path); // registered as a file, but a folder: remove it once empty
    {
        ov::unique_hfile probe(
            ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!probe)
            return false;
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::DeleteFileW(path.c_str()) || !exists(path);
}

std::wstring control_file_path(const std::wstring& temp_folder)
{
    return ov::path::join(temp_folder, DeleteAction::kControlFileName);
}

bool register_path(const wchar_t* section, const std::wstring& key, const std::wstring& path) noexcept
{
    try {
        const auto& temp = Process().TempFolder;
        if (temp.empty())
            return false;
        const auto control = control_file_path(temp);
        ov::profilefilex list;
        // A missing control file starts an empty list; one that exists but
        // cannot be read must not be overwritten with this entry alone.
        if (!list.load(control) && list.last_error() != ERROR_FILE_NOT_FOUND)
            return false;
        return list.write_string(section, key.c_str(), path.c_str()) && list.save(control);
    } catch (...) {
        return false;
    }
}

// ---------------------------------------------------------------------------
// The helper process

// How many bytes at the start of the launcher's file make up its program
// image: the headers and every section's raw data. The payload appended
// behind them is not needed to run the helper, and may be large.
std::uint64_t image_extent(const std::string& head, std::uint64_t file_size) noexcept
{
    const auto u16 = [&](std::size_t at) -> std::uint32_t {
        return at + 2 <= head.size()
                   ? static_cast<std::uint8_t>(head[at]) | (static_cast<std::uint8_t>(head[at + 1]) << 8)
                   : 0;
    };
    const auto u32 = [&](std::size_t at) -> std::uint32_t {
        return at + 4 <= head.size() ? u16(at) | (u16(at + 2) << 16) : 0;
    };
    if (u16(0) != 0x5A4D) // "MZ"
        return 0;
    const std::size_t nt = u32(0x3C);
    if (nt > head.size() || u32(nt) != 0x00004550) // "PE\0\0"
        return 0;
    const std::size_t sections_count = u16(nt + 6);
    const std::size_t optional_size = u16(nt + 20);
    const std::size_t optional = nt + 24;
    std::uint64_t extent = u32(optional + 60); // SizeOfHeaders, same place in PE32 and PE32+
    const std::size_t table = optional + optional_size;
    for (std::size_t i = 0; i < sections_count; ++i) {
        const std::size_t entry = table + i * 40;
        if (entry + 40 > head.size())
            return 0;
        const std::uint64_t end = std::uint64_t{u32(entry + 20)} + u32(entry + 16);
        if (end > extent)
            extent = end;
    }
    return (extent == 0 || extent > file_size) ? 0 : extent;
}

// Writes the helper's program file: the launcher's image copied from its file.
bool write_helper_image(const std::wstring& self, const std::wstring& helper) noexcept
{
    try {
        ov::file source;
        source.open_read(self, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        const auto size = source.size();
        std::string head(static_cast<std::size_t>(size < 65536 ? size : 65536), '\0');
        source.read_exact(head.data(), head.size());
        const auto extent = image_extent(head, size);
        if (extent == 0)
            return false;
        source.seek(0);
        ov::file target;
        target.create(helper, CREATE_NEW, 0);
        ov::scope_exit remove_partial([&] {
            target.close();
            ::DeleteFileW(helper.c_str());
        });
        std::vector<char> chunk(65536);
        for (std::uint64_t left = extent; left > 0;) {
            const std::size_t n = static_cast<std::size_t>(left < chunk.size() ? left : chunk.size());
            source.read_exact(chunk.data(), n);
            target.write(chunk.data(), n);
            left -= n;
        }
        target.close();
        remove_partial.dismiss();
        return true;
    } catch (...) {
        return false;
    }
}

// A unique name for the helper's file in the user's temporary folder, or
// beside the launcher's folder when that temporary folder lies inside it.
std::wstring helper_path(const std::wstring& self_folder, int attempt)
{
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
    std::wstring folder =
        (n > 0 && n <= MAX_PATH) ? ov::path::without_trailing_backslash(std::wstring(buffer, n)) : std::wstring();
    if (folder.empty() || ov::path::is_within(folder, self_folder))
        folder = ov::path::folder_of(self_folder);
    if (folder.empty())
        return {};
    return ov::path::join(folder, L"~ovdel" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                      std::to_wstring(attempt) + L".exe");
}

std::wstring quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// Starts `helper_file` with exactly the given handles inherited.
bool start_helper(const std::wstring& helper_file, std::wstring command_line, HANDLE* inherited,
                  std::size_t inherited_count) noexcept
{
    const auto cwd = system_folder();
    PROCESS_INFORMATION pi = {};
    const DWORD flags = IDLE_PRIORITY_CLASS;

    // With a handle list the helper inherits these handles and no others,
    // whatever else the launcher has made inheritable.
    SIZE_T list_size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::vector<char> list_memory(list_size ? list_size : 1);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    bool have_list = list_size && ::InitializeProcThreadAttributeList(list, 1, 0, &list_size);
    ov::scope_exit free_list([&] {
        if (have_list)
            ::DeleteProcThreadAttributeList(list);
    });
    if (have_list && !::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                  inherited_count * sizeof(HANDLE), nullptr, nullptr)) {
        ::DeleteProcThreadAttributeList(list);
        have_list = false;
    }
    BOOL started = FALSE;
    if (have_list) {
        STARTUPINFOEXW si = {};
        si.StartupInfo.cb = sizeof si;
        si.lpAttributeList = list;
        started = ::CreateProcessW(helper_file.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                   flags | EXTENDED_STARTUPINFO_PRESENT, nullptr, cwd.empty() ? nullptr : cwd.c_str(),
                                   &si.StartupInfo, &pi);
    }
    if (!started) {
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        started = ::CreateProcessW(helper_file.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                                   cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
    }
    if (!started)
        return false;
    ov::unique_handle process(pi.hProcess);
    ov::unique_handle thread(pi.hThread);
    return true;
}

// The helper's retry loop: `attempt` until it succeeds, ten times at most,
// one second apart.
template <typename F>
void retry(F attempt) noexcept
{
    for (int i = 0; i < kHelperAttempts; ++i) {
        if (attempt())
            return;
        if (i + 1 < kHelperAttempts)
            ::Sleep(kRetryIntervalMs);
    }
}

std::wstring process_image(HANDLE process)
{
    std::wstring buffer(32768, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!::QueryFullProcessImageNameW(process, 0, buffer.data(), &size))
        return {};
    buffer.resize(size);
    return buffer;
}

} // namespace

// ---------------------------------------------------------------------------
// Registration

bool DeleteAction::AddFile(const std::wstring& path) noexcept
{
    try {
        return register_path(kFilesSection, ov::path::file_name_of(path), path);
    } catch (...) {
        return false;
    }
}

bool DeleteAction::AddNamedFile(const std::wstring& path, const std::wstring& key) noexcept
{
    return register_path(kFilesSection, key, path);
}

bool DeleteAction::AddFolder(const std::wstring& path) noexcept
{
    try {
        return register_path(kFoldersSection, ov::path::file_name_of(ov::path::without_trailing_backslash(path)), path);
    } catch (...) {
        return false;
    }
}

// ---------------------------------------------------------------------------
// The passes

bool DeleteAction::DeleteStep() noexcept
{
    try {
        const std::wstring temp = Process().TempFolder;
        if (temp.empty())
            return true;
        const bool from_temp = ov::path::is_within(module_path(nullptr), temp);
        const auto control = control_file_path(temp);

        if (!exists(control)) {
            remove_folder(temp);
            if (from_temp)
                remove_self_after_exit(true);
            return true;
        }
        if (attempts_ >= kMaxAttempts) {
            delete_file(control);
            if (from_temp)
                remove_self_after_exit(true);
            return true;
        }

        ov::profilefilex list;
        if (!list.load(control)) {
            // Unreadable for now (in use?): an empty reading would throw the
            // list away, so count the pass and try again.
            ++attempts_;
            return false;
        }
        const auto files = list.get_keys(kFilesSection);
        const auto folders = list.get_keys(kFoldersSection);
        if (files.empty() && folders.empty()) {
            if (delete_file(control) && remove_folder(temp)) {
                if (from_temp)
                    remove_self_after_exit(true);
                return true;
            }
        }

        // Folders are emptied by deleting files, so they wait for a pass that
        // starts with no files listed.
        const bool doing_files = !files.empty();
        const wchar_t* section = doing_files ? kFilesSection : kFoldersSection;
        for (const auto& key : doing_files ? files : folders) {
            const auto target = list.get_value(section, key);
            // An entry without a path has nothing to delete.
            const bool removed = !target || (doing_files ? delete_file(*target) : remove_folder(*target));
            if (removed && list.write_string(section, key.c_str(), nullptr))
                (void)list.save(control);
        }
        ++attempts_;
        return false;
    } catch (...) {
        // Out of memory or similar: count the pass so the deleter still ends.
        return ++attempts_ > kMaxAttempts;
    }
}

// ---------------------------------------------------------------------------
// The window

void DeleteAction::RunPassesWithoutWindow() noexcept
{
    // Without a window (no window station or desktop to create it on) the
    // passes still run, a second apart, so that the temporary files go all
    // the same.
    for (int pass = 0; pass <= kMaxAttempts + 1; ++pass) {
        ::Sleep(kTimerPeriodMs);
        if (DeleteStep())
            return;
    }
}

bool DeleteAction::RunDeleter(HINSTANCE instance) noexcept
{
    instance_ = instance;
    finished_ = false;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hIcon = ::LoadIconW(instance, kWindowName); // may be missing: the window is never shown
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kWindowName;
    if (!::RegisterClassExW(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        RunPassesWithoutWindow();
        return false;
    }
    ov::scope_exit unregister([&] { ::UnregisterClassW(kWindowName, instance); });

    if (!::CreateWindowExW(0, kWindowName, kWindowName, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, this)) {
        RunPassesWithoutWindow();
        return false;
    }
    loop_running_ = true;
    quit_posted_ = false;
    bool foreign_quit = false;
    WPARAM quit_code = 0;
    {
        ov::scope_exit destroy_window([&] {
            loop_running_ = false; // our own quit message only ends our own loop
            if (window_)
                ::DestroyWindow(window_);
        });
        MSG msg = {};
        for (;;) {
            const BOOL result = ::GetMessageW(&msg, nullptr, 0, 0);
            if (result == -1)
                break;
            if (result == 0) {
                foreign_quit = !quit_posted_;
                quit_code = msg.wParam;
                break;
            }
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    // A quit request meant for the caller's loop is handed on.
    if (foreign_quit)
        ::PostQuitMessage(static_cast<int>(quit_code));
    return finished_;
}

void DeleteAction::OnTimer(HWND window) noexcept
{
    if (g_pass_running || finished_)
        return;
    g_pass_running = true;
    const bool done = DeleteStep();
    g_pass_running = false;
    if (!done)
        return;
    finished_ = true;
    if (!::PostMessageW(window, WM_CLOSE, 0, 0))
        ::DestroyWindow(window);
}

LRESULT CALLBACK DeleteAction::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) noexcept
{
    if (message == WM_NCCREATE) {
        auto* self = static_cast<DeleteAction*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        if (self)
            self->window_ = window;
    }
    auto* self = reinterpret_cast<DeleteAction*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_CREATE:
        // Without its timer the deleter would never end: refuse the window.
        return ::SetTimer(window, kTimerId, kTimerPeriodMs, nullptr) ? 0 : -1;
    case WM_TIMER:
        if (wparam == kTimerId && self)
            self->OnTimer(window);
        return 0;
    case WM_DESTROY:
        ::KillTimer(window, kTimerId);
        if (self && self->loop_running_) {
            self->quit_posted_ = true;
            ::PostQuitMessage(0);
        }
        return 0;
    case WM_NCDESTROY:
        if (self)
            self->window_ = nullptr;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        break;
    default:
        break;
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
}

// ---------------------------------------------------------------------------
// Removing the launcher after its exit

void DeleteAction::remove_self_after_exit(bool remove_folder_too) noexcept
{
    try {
        const auto self = module_path(nullptr);
        if (self.empty())
            return;
        const auto folder = ov::path::folder_of(self);
        const bool folder_wanted = remove_folder_too && is_removable_folder(folder) && is_folder(folder);
        if (!exists(self) && !folder_wanted)
            return;

        // The helper's program file, deleted by the system when its last
        // handle closes: the one the helper inherits.
        std::wstring helper;
        for (int attempt = 0; attempt < 100 && helper.empty(); ++attempt) {
            auto candidate = helper_path(folder, attempt);
            if (candidate.empty())
                return;
            if (exists(candidate))
                continue; // another launcher's helper
            if (!write_helper_image(self, candidate))
                return;
            helper = std::move(candidate);
        }
        if (helper.empty())
            return;
        SECURITY_ATTRIBUTES inherit = {};
        inherit.nLength = sizeof inherit;
        inherit.bInheritHandle = TRUE;
        ov::unique_hfile helper_file(::CreateFileW(helper.c_str(), GENERIC_READ | DELETE,
                                                   FILE_SHARE_READ | FILE_SHARE_DELETE, &inherit, OPEN_EXISTING,
                                                   FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (!helper_file) {
            ::DeleteFileW(helper.c_str());
            return;
        }

        HANDLE duplicate = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &duplicate,
                               SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0))
            return;
        ov::unique_handle launcher(duplicate);

        std::wstring command_line = quoted(helper) + L" " + kRemovalHelperOption + L" " +
                                    std::to_wstring(reinterpret_cast<std::uintptr_t>(launcher.get())) + L" " +
                                    quoted(self);
        if (folder_wanted)
            command_line += L" " + quoted(folder);
        HANDLE inherited[] = {launcher.get(), helper_file.get()};
        (void)start_helper(helper, std::move(command_line), inherited, 2);
        // Our copies close here; the helper's copy of its file keeps it alive
        // until the helper ends (or, if it did not start, it goes now).
    } catch (...) {
    }
}

std::optional<int> DeleteAction::RunRemovalHelper(const wchar_t* command_line) noexcept
{
    if (!command_line)
        return std::nullopt;
    int argc = 0;
    ov::unique_hlocal memory(reinterpret_cast<HLOCAL>(::CommandLineToArgvW(command_line, &argc)));
    auto** argv = static_cast<wchar_t**>(memory.get());
    if (!argv || argc < 4 || argc > 5 || std::wcscmp(argv[1], kRemovalHelperOption) != 0)
        return std::nullopt;
    try {
        wchar_t* end = nullptr;
        const auto value = std::wcstoull(argv[2], &end, 10);
        if (!end || *end != L'\0' || value == 0)
            return 1;
        ov::unique_handle launcher(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)));
        const std::wstring self = argv[3];
        const std::wstring folder = argc == 5 ? argv[4] : L"";

        // Only the program of the process we wait for, and its folder, are
        // ever deleted.
        if (!ov::iequals(process_image(launcher.get()), self))
            return 1;
        if (!folder.empty() && !ov::iequals(folder, ov::path::folder_of(self)))
            return 1;
        if (::WaitForSingleObject(launcher.get(), INFINITE) != WAIT_OBJECT_0)
            return 1;
        launcher.reset();

        retry([&] {
            ::SetFileAttributesW(self.c_str(), FILE_ATTRIBUTE_NORMAL);
            return ::DeleteFileW(self.c_str()) || !exists(self);
        });
        if (!folder.empty())
            retry([&] { return ::RemoveDirectoryW(folder.c_str()) || !exists(folder); });
        return 0;
    } catch (...) {
        return 1;
    }
}
