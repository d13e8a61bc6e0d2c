// RAII owners for Win32 handles. Every handle the launcher opens lives in one
// of these from the line that opened it.
#pragma once

#include <windows.h>

#include <utility>

namespace ov {

// Owns a value of type T released by Close; Invalid is the empty value.
template <typename T, auto Close, T Invalid = T{}>
class unique_any {
public:
    unique_any() noexcept = default;
    explicit unique_any(T value) noexcept : value_(value) {}
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

    [[nodiscard]] T get() const noexcept { return value_; }
    [[nodiscard]] explicit operator bool() const noexcept { return value_ != Invalid; }
    [[nodiscard]] T release() noexcept { return std::exchange(value_, Invalid); }
    void reset(T value = Invalid) noexcept
    {
        const T old = std::exchange(value_, value);
        if (old != Invalid)
            Close(old);
    }
    // For out-parameters: releases the current value first.
    [[nodiscard]] T* put() noexcept
    {
        reset();
        return &value_;
    }

private:
    T value_ = Invalid;
};

namespace detail {
inline void close_handle(HANDLE h) noexcept { ::CloseHandle(h); }
inline void close_key(HKEY k) noexcept { ::RegCloseKey(k); }
inline void free_module(HMODULE m) noexcept { ::FreeLibrary(m); }
inline void destroy_window(HWND w) noexcept { ::DestroyWindow(w); }
inline void delete_object(HGDIOBJ o) noexcept { ::DeleteObject(o); }
inline void local_free(HLOCAL p) noexcept { ::LocalFree(p); }
inline void find_close(HANDLE h) noexcept { ::FindClose(h); }
inline void unmap_view(void* p) noexcept { ::UnmapViewOfFile(p); }
} // namespace detail

using unique_handle = unique_any<HANDLE, detail::close_handle, HANDLE{}>;
using unique_hfile = unique_any<HANDLE, detail::close_handle, INVALID_HANDLE_VALUE>;
using unique_hkey = unique_any<HKEY, detail::close_key, HKEY{}>;
using unique_hmodule = unique_any<HMODULE, detail::free_module, HMODULE{}>;
using unique_hwnd = unique_any<HWND, detail::destroy_window, HWND{}>;
using unique_hgdiobj = unique_any<HGDIOBJ, detail::delete_object, HGDIOBJ{}>;
using unique_hlocal = unique_any<HLOCAL, detail::local_free, HLOCAL{}>;
using unique_hfind = unique_any<HANDLE, detail::find_close, INVALID_HANDLE_VALUE>;
using unique_view = unique_any<void*, detail::unmap_view, nullptr>;

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
