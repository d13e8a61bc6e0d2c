// Exceptions of the support library. They carry a Win32 error code; the
// message is formatted only when asked for, and the formatted text is shared
// between copies (an exception is copied while it is thrown).
#pragma once

#include <windows.h>

#include <exception>
#include <memory>
#include <string>

namespace ov {

class win32_exception : public std::exception {
public:
    explicit win32_exception(DWORD error) noexcept;
    win32_exception(DWORD error, std::wstring context);

    [[nodiscard]] DWORD error() const noexcept { return error_; }
    // The error as an HRESULT: 0x80070000 | (code & 0xFFFF), S_OK for 0.
    [[nodiscard]] HRESULT hresult() const noexcept;
    // The system's text for the error, followed by the context when one was given.
    [[nodiscard]] const std::wstring& message() const;
    const char* what() const noexcept override;

protected:
    virtual std::wstring format_message() const;

private:
    struct cache {
        std::wstring wide;
        std::string narrow;
        bool done = false;
    };
    DWORD error_;
    std::wstring context_;
    std::shared_ptr<cache> cache_;
};

class file_exception : public virtual win32_exception {
public:
    file_exception(DWORD error, std::wstring file);
    [[nodiscard]] const std::wstring& file() const noexcept { return file_; }

protected:
    std::wstring format_message() const override;

private:
    std::wstring file_;
};

class internet_exception : public virtual win32_exception {
public:
    explicit internet_exception(DWORD error) : win32_exception(error) {}
};

class internet_file_exception : public internet_exception, public file_exception {
public:
    internet_file_exception(DWORD error, std::wstring url)
        : win32_exception(error), internet_exception(error), file_exception(error, std::move(url))
    {
    }
};

// The text Windows has for an error code (no trailing line break).
[[nodiscard]] std::wstring system_error_text(DWORD error);

// Windows error -> HRESULT, as the launcher reports it.
[[nodiscard]] constexpr HRESULT hresult_from_error(DWORD error) noexcept
{
    return error == 0 ? S_OK : static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
}

// GetLastError() after a failed call, never 0: Wine's stubs sometimes fail
// without setting it, and a failure must not read as success.
[[nodiscard]] DWORD last_error_or(DWORD fallback = ERROR_GEN_FAILURE) noexcept;

} // namespace ov
