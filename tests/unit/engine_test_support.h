// Helpers of the engine tests: a scratch folder of redistributable doubles
// (copies of redist_double.exe under the real names, each recording its
// command lines beside itself), and a watch that reads and closes the error
// dialogs a call shows, so that an interactive run never blocks a test.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ov_handles.h"
#include "paths.h"
#include "resource.h"

namespace engine_test {

inline std::wstring this_program_folder()
{
    wchar_t buffer[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return ov::path::folder_of(buffer);
}

// The double, built beside the unit tests' folder.
inline std::wstring double_path()
{
    return ov::path::join(ov::path::folder_of(this_program_folder()), L"doubles\\redist_double.exe");
}

inline std::string narrow(std::wstring_view text)
{
    return std::string(text.begin(), text.end());
}

inline bool file_exists(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

inline void write_file(const std::wstring& path, const std::string& bytes)
{
    ov::unique_hfile file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << "cannot write " << std::string(path.begin(), path.end());
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

inline std::string read_file(const std::wstring& path)
{
    std::string bytes;
    ov::unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    if (!file)
        return bytes;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got)
        bytes.append(buffer, got);
    return bytes;
}

inline std::wstring from_utf8(const std::string& text)
{
    if (text.empty())
        return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

inline void remove_tree(const std::wstring& folder)
{
    WIN32_FIND_DATAW data = {};
    ov::unique_hfind find(::FindFirstFileW(ov::path::join(folder, L"*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const auto path = ov::path::join(folder, name);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(path);
            else
                ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(find.get(), &data));
    }
    ::RemoveDirectoryW(folder.c_str());
}

// A fresh folder under the user's temporary folder, removed at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(const wchar_t* name)
    {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, temp);
        path_ =
            ov::path::join(temp, std::wstring(L"ovengine-") + name + L"-" + std::to_wstring(::GetCurrentProcessId()));
        remove_tree(path_);
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { remove_tree(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    [[nodiscard]] const std::wstring& path() const noexcept { return path_; }
    [[nodiscard]] std::wstring at(std::wstring_view name) const { return ov::path::join(path_, name); }

    // Copies the double into the folder as `name`; answers its path.
    std::wstring add_redistributable(std::wstring_view name) const
    {
        const std::wstring target = at(name);
        EXPECT_TRUE(::CopyFileW(double_path().c_str(), target.c_str(), FALSE))
            << "missing double " << std::string(double_path().begin(), double_path().end());
        return target;
    }

    // The command lines the copy named `name` was started with, in order.
    [[nodiscard]] std::vector<std::wstring> calls(std::wstring_view name) const
    {
        const std::wstring text = from_utf8(read_file(at(std::wstring(name) + L".calls.log")));
        std::vector<std::wstring> lines;
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find(L'\n', start);
            lines.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
            if (end == std::wstring::npos)
                break;
            start = end + 1;
        }
        return lines;
    }

private:
    std::wstring path_;
};

// Sets an environment variable of this process (inherited by the children)
// for the lifetime of the object.
class EnvironmentValue {
public:
    EnvironmentValue(const wchar_t* name, const std::wstring& value) : name_(name)
    {
        ::SetEnvironmentVariableW(name_, value.c_str());
    }
    ~EnvironmentValue() { ::SetEnvironmentVariableW(name_, nullptr); }
    EnvironmentValue(const EnvironmentValue&) = delete;
    EnvironmentValue& operator=(const EnvironmentValue&) = delete;

private:
    const wchar_t* name_;
};

// Watches this process's top-level windows on a thread of its own: each
// visible dialog is recorded with the text of its error-text control and
// closed with its OK button.
class DialogWatch {
public:
    DialogWatch() : thread_([this] { run(); }) {}
    ~DialogWatch()
    {
        stop_ = true;
        thread_.join();
    }
    DialogWatch(const DialogWatch&) = delete;
    DialogWatch& operator=(const DialogWatch&) = delete;

    [[nodiscard]] std::vector<std::wstring> texts() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }

private:
    static BOOL CALLBACK visit(HWND window, LPARAM parameter)
    {
        auto* self = reinterpret_cast<DialogWatch*>(parameter);
        DWORD process = 0;
        ::GetWindowThreadProcessId(window, &process);
        if (process != ::GetCurrentProcessId() || !::IsWindowVisible(window))
            return TRUE;
        wchar_t className[64] = {};
        ::GetClassNameW(window, className, 64);
        if (std::wstring(className) != L"#32770")
            return TRUE;
        for (const HWND seen : self->closed_)
            if (seen == window)
                return TRUE;
        // The error dialog's text control, or a message box's (id 0xFFFF).
        wchar_t text[2048] = {};
        if (::GetDlgItemTextW(window, IDC_ERROR_TEXT, text, 2048) == 0)
            ::GetDlgItemTextW(window, 0xFFFF, text, 2048);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->texts_.emplace_back(text);
        }
        self->closed_.push_back(window);
        ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return TRUE;
    }

    void run()
    {
        while (!stop_) {
            ::EnumWindows(&DialogWatch::visit, reinterpret_cast<LPARAM>(this));
            ::Sleep(50);
        }
    }

    mutable std::mutex mutex_;
    std::vector<std::wstring> texts_;
    std::vector<HWND> closed_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace engine_test
