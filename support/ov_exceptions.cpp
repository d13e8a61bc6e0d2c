#include "ov_exceptions.h"

#include "ov_handles.h"

namespace ov {

win32_exception::win32_exception(DWORD error) noexcept : error_(error) {}

win32_exception::win32_exception(DWORD error, std::wstring context) : error_(error), context_(std::move(context)) {}

HRESULT win32_exception::hresult() const noexcept
{
    return hresult_from_error(error_);
}

std::wstring win32_exception::format_message() const
{
    std::wstring text = system_error_text(error_);
    if (!context_.empty()) {
        text.append(L" (");
        text.append(context_);
        text.append(L")");
    }
    return text;
}

const std::wstring& win32_exception::message() const
{
    // The cache is created on first use and shared by every copy made later.
    auto& self = const_cast<win32_exception&>(*this);
    if (!self.cache_)
        self.cache_ = std::make_shared<cache>();
    if (!cache_->done) {
        cache_->wide = format_message();
        cache_->done = true;
    }
    return cache_->wide;
}

const char* win32_exception::what() const noexcept
{
    try {
        const auto& wide = message();
        if (cache_->narrow.empty()) {
            const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0,
                                                nullptr, nullptr);
            std::string narrow(static_cast<size_t>(n > 0 ? n : 0), '\0');
            if (n > 0)
                ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), narrow.data(), n,
                                      nullptr, nullptr);
            cache_->narrow = std::move(narrow);
        }
        return cache_->narrow.c_str();
    } catch (...) {
        return "win32_exception";
    }
}

file_exception::file_exception(DWORD error, std::wstring file) : win32_exception(error), file_(std::move(file)) {}

std::wstring file_exception::format_message() const
{
    std::wstring text = system_error_text(error());
    text.append(L" (");
    text.append(file_);
    text.append(L")");
    return text;
}

std::wstring system_error_text(DWORD error)
{
    wchar_t* buffer = nullptr;
    const DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    unique_hlocal owner(buffer);
    std::wstring text;
    if (n && buffer)
        text.assign(buffer, n);
    while (!text.empty() &&
           (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    if (text.empty())
        text = L"Error " + std::to_wstring(error);
    return text;
}

DWORD last_error_or(DWORD fallback) noexcept
{
    const DWORD e = ::GetLastError();
    return e ? e : fallback;
}

} // namespace ov
