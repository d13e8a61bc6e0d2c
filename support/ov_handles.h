// RAII owners for Win32 handles. Every handle the launcher opens lives in one
// of these from the line that opened it.
#pragma once

#include <windows.h>

#include <utility>

namespace ov {

// Owns a value released by Traits::close; Traits::invalid() is the empty
// value (null for most handles, INVALID_HANDLE_VALUE for files).
template <typename Traits>
class unique_any {
public:
    using value_type = typename Traits::type;

    unique_any() noexcept = default;
    explicit unique_any(value_type value) noexcept : value_(value) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~unique_any() { reset(); }

    [[nodiscard]] value_type get() const noexcept { return value_; }
    [[nodiscard]] explicit operator bool() const noexcept { return value_ != Traits::invalid(); }
    [[nodiscard]] value_type release() noexcept { return std::exchange(value_, Traits::invalid()); }
    void reset(value_type value = Traits::invalid()) noexcept
    {
        const value_type old = std::exchange(value_, value);
        if (old != Traits::invalid())
            Traits::close(old);
    }
    // For out-parameters: releases the current value first.
    [[nodiscard]] value_type* put() noexcept
    {
        reset();
        return &value_;
    }

private:
    value_type value_ = Traits::invalid();
};

namespace detail {
template <typename T, auto Close>
struct null_traits {
    using type = T;
    static T invalid() noexcept { return T{}; }
    static void close(T value) noexcept { Close(value); }
};
inline void close_handle(HANDLE h) noexcept
{
    ::CloseHandle(h);
}
inline void close_key(HKEY k) noexcept
{
    ::RegCloseKey(k);
}
inline void free_module(HMODULE m) noexcept
{
    ::FreeLibrary(m);
}
inline void destroy_window(HWND w) noexcept
{
    ::DestroyWindow(w);
}
inline void delete_object(HGDIOBJ o) noexcept
{
    ::DeleteObject(o);
}
inline void local_free(HLOCAL p) noexcept
{
    ::LocalFree(p);
}
inline void find_close(HANDLE h) noexcept
{
    ::FindClose(h);
}
inline void unmap_view(void* p) noexcept
{
    ::UnmapViewOfFile(p);
}
// Handles whose empty value is INVALID_HANDLE_VALUE (files, find handles).
template <auto Close>
struct invalid_handle_traits {
    using type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE value) noexcept { Close(value); }
};
} // namespace detail

using unique_handle = unique_any<detail::null_traits<HANDLE, detail::close_handle>>;
using unique_hfile = unique_any<detail::invalid_handle_traits<detail::close_handle>>;
using unique_hkey = unique_any<detail::null_traits<HKEY, detail::close_key>>;
using unique_hmodule = unique_any<detail::null_traits<HMODULE, detail::free_module>>;
using unique_hwnd = unique_any<detail::null_traits<HWND, detail::destroy_window>>;
using unique_hgdiobj = unique_any<detail::null_traits<HGDIOBJ, detail::delete_object>>;
using unique_hlocal = unique_any<detail::null_traits<HLOCAL, detail::local_free>>;
using unique_hfind = unique_any<detail::invalid_handle_traits<detail::find_close>>;
using unique_view = unique_any<detail::null_traits<void*, detail::unmap_view>>;

// WinInet handles (HINTERNET). WinInet is bound at run time: the deleter
// calls the bound InternetCloseHandle (support/inet.cpp).
namespace detail {
void close_hinternet(void* handle) noexcept;
} // namespace detail
using unique_hinternet = unique_any<detail::null_traits<void*, detail::close_hinternet>>;

// Runs a callable when the scope ends, unless dismissed.
template <typename F>
class scope_exit {
public:
    explicit scope_exit(F f) noexcept : f_(std::move(f)) {}
    scope_exit(const scope_exit&) = delete;
    scope_exit& operator=(const scope_exit&) = delete;
    ~scope_exit()
    {
        if (active_)
            f_();
    }
    void dismiss() noexcept { active_ = false; }

private:
    F f_;
    bool active_ = true;
};

// Suppresses the system's critical-error and open-file error boxes while alive.
class error_mode_guard {
public:
    error_mode_guard() noexcept : old_(::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {}
    ~error_mode_guard() { ::SetErrorMode(old_); }
    error_mode_guard(const error_mode_guard&) = delete;
    error_mode_guard& operator=(const error_mode_guard&) = delete;

private:
    UINT old_;
};

} // namespace ov
