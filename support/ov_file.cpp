#include "ov_file.h"

#include "inet.h"
#include "ov_exceptions.h"
#include "paths.h"

#include <atomic>
#include <climits>
#include <new>

namespace ov {

namespace {

// ReadFile/WriteFile take a DWORD count; larger requests go in pieces.
constexpr std::size_t kMaxChunk = 1u << 30;

std::wstring_view trim_separators(std::wstring_view path) noexcept
{
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/'))
        path.remove_suffix(1);
    return path;
}

std::wstring hex4(unsigned value)
{
    constexpr wchar_t digits[] = L"0123456789abcdef";
    std::wstring text(4, L'0');
    for (int i = 3; i >= 0; --i, value >>= 4)
        text[static_cast<std::size_t>(i)] = digits[value & 0xF];
    return text;
}

bool is_folder(const std::wstring& path) noexcept
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

// ---------------------------------------------------------------------------
// file

file_exception file::failure() const
{
    return file_exception(last_error_or(), name_);
}

void file::require_open() const
{
    if (!handle_)
        throw file_exception(ERROR_INVALID_HANDLE, name_);
}

void file::open_read(const std::wstring& path, DWORD share)
{
    close();
    name_ = path;
    unique_hfile h(
        ::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h)
        throw failure();
    handle_ = std::move(h);
}

void file::create(const std::wstring& path, DWORD disposition, DWORD share)
{
    close();
    name_ = path;
    unique_hfile h(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h)
        throw failure();
    handle_ = std::move(h);
}

std::size_t file::read(void* buffer, std::size_t size)
{
    require_open();
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const DWORD want = static_cast<DWORD>(size - done < kMaxChunk ? size - done : kMaxChunk);
        DWORD got = 0;
        if (!::ReadFile(handle_.get(), out + done, want, &got, nullptr))
            throw failure();
        if (got == 0)
            break; // end of file
        done += got;
    }
    return done;
}

void file::read_exact(void* buffer, std::size_t size)
{
    if (read(buffer, size) != size)
        throw file_exception(ERROR_HANDLE_EOF, name_);
}

std::string file::read_all(std::size_t max_size)
{
    const std::uint64_t total = size();
    const std::uint64_t here = position();
    const std::uint64_t left = total > here ? total - here : 0;
    if (left > max_size)
        throw file_exception(ERROR_FILE_TOO_LARGE, name_);
    std::string bytes(static_cast<std::size_t>(left), '\0');
    bytes.resize(read(bytes.data(), bytes.size()));
    // The file may have grown since it was measured: read on, within the limit.
    char chunk[4096];
    for (;;) {
        const auto n = read(chunk, sizeof chunk);
        if (n == 0)
            break;
        if (bytes.size() + n > max_size)
            throw file_exception(ERROR_FILE_TOO_LARGE, name_);
        bytes.append(chunk, n);
    }
    return bytes;
}

void file::write(const void* data, std::size_t size)
{
    require_open();
    const auto* in = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const DWORD want = static_cast<DWORD>(size - done < kMaxChunk ? size - done : kMaxChunk);
        DWORD put = 0;
        if (!::WriteFile(handle_.get(), in + done, want, &put, nullptr))
            throw failure();
        if (put == 0)
            throw file_exception(ERROR_WRITE_FAULT, name_);
        done += put;
    }
}

std::uint64_t file::size() const
{
    require_open();
    LARGE_INTEGER value = {};
    if (!::GetFileSizeEx(handle_.get(), &value))
        throw failure();
    return static_cast<std::uint64_t>(value.QuadPart);
}

std::uint64_t file::seek(std::int64_t offset, DWORD origin)
{
    require_open();
    LARGE_INTEGER distance = {};
    distance.QuadPart = offset;
    LARGE_INTEGER position = {};
    if (!::SetFilePointerEx(handle_.get(), distance, &position, origin))
        throw failure();
    return static_cast<std::uint64_t>(position.QuadPart);
}

void file::flush()
{
    require_open();
    if (!::FlushFileBuffers(handle_.get()))
        throw failure();
}

void file::close() noexcept
{
    handle_.reset();
}

// ---------------------------------------------------------------------------
// Opening and whole-file helpers

bool is_web_address(std::wstring_view path) noexcept
{
    const auto starts = [&](std::wstring_view prefix) {
        if (path.size() < prefix.size())
            return false;
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            wchar_t c = path[i];
            if (c >= L'A' && c <= L'Z')
                c = static_cast<wchar_t>(c + 32);
            if (c != prefix[i])
                return false;
        }
        return true;
    };
    return starts(L"http://") || starts(L"https://");
}

std::unique_ptr<file> open_file(const std::wstring& path)
{
    if (is_web_address(path))
        return open_remote_file(path);
    auto f = std::make_unique<file>();
    f->open_read(path);
    return f;
}

decoded_text read_text_file(const std::wstring& path, std::int32_t code_page, std::size_t max_size)
{
    const auto f = open_file(path);
    const auto bytes = f->read_all(max_size);
    return decode_text(bytes, code_page, multibyte_to_wide);
}

void create_folders(const std::wstring& folder)
{
    const std::wstring target(trim_separators(folder));
    if (target.empty())
        throw file_exception(ERROR_INVALID_NAME, folder);
    if (is_folder(target))
        return;
    // Every prefix that ends before a separator is tried; the drive, the
    // server and folders that exist simply refuse. Only the result for the
    // whole path counts.
    for (std::size_t i = 1; i < target.size(); ++i)
        if (target[i] == L'\\' || target[i] == L'/')
            ::CreateDirectoryW(target.substr(0, i).c_str(), nullptr);
    if (!::CreateDirectoryW(target.c_str(), nullptr)) {
        const DWORD error = last_error_or();
        if (!is_folder(target))
            throw file_exception(error, folder);
    }
}

void write_file_replacing(const std::wstring& path, std::string_view bytes, bool make_folders)
{
    const std::wstring folder = path::folder_of(path);
    if (make_folders && !folder.empty())
        create_folders(folder);

    // A short name of our own beside the target: the rename below then stays
    // on one volume and is atomic.
    static std::atomic<unsigned> counter{0};
    file out;
    std::wstring temporary;
    for (int attempt = 0;; ++attempt) {
        const std::wstring name = L"~ov" + hex4(::GetCurrentProcessId()) + hex4(counter++) + L".tmp";
        temporary = folder.empty() ? name : path::join(folder, name);
        try {
            out.create(temporary, CREATE_NEW, 0);
            break;
        } catch (const file_exception& e) {
            if ((e.error() != ERROR_FILE_EXISTS && e.error() != ERROR_ALREADY_EXISTS) || attempt >= 100)
                throw file_exception(e.error(), path);
        }
    }
    scope_exit remove_temporary([&] {
        out.close();
        ::DeleteFileW(temporary.c_str());
    });
    try {
        out.write(bytes);
        out.flush();
    } catch (const file_exception& e) {
        throw file_exception(e.error(), path);
    }
    out.close();
    if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw file_exception(last_error_or(), path);
    remove_temporary.dismiss();
}

// ---------------------------------------------------------------------------
// Code pages

std::wstring multibyte_to_wide(std::string_view bytes, std::int32_t code_page)
{
    if (bytes.empty())
        return {};
    if (bytes.size() > static_cast<std::size_t>(INT_MAX))
        throw win32_exception(ERROR_ARITHMETIC_OVERFLOW);
    const auto cp = static_cast<UINT>(code_page);
    const int n = static_cast<int>(bytes.size());
    const int length = ::MultiByteToWideChar(cp, 0, bytes.data(), n, nullptr, 0);
    if (length <= 0)
        throw win32_exception(last_error_or(ERROR_NO_UNICODE_TRANSLATION));
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    if (::MultiByteToWideChar(cp, 0, bytes.data(), n, text.data(), length) != length)
        throw win32_exception(last_error_or(ERROR_NO_UNICODE_TRANSLATION));
    return text;
}

std::string wide_to_multibyte(std::wstring_view text, std::int32_t code_page)
{
    if (text.empty())
        return {};
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        throw win32_exception(ERROR_ARITHMETIC_OVERFLOW);
    const auto cp = static_cast<UINT>(code_page);
    const int n = static_cast<int>(text.size());
    const int length = ::WideCharToMultiByte(cp, 0, text.data(), n, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        throw win32_exception(last_error_or(ERROR_NO_UNICODE_TRANSLATION));
    std::string bytes(static_cast<std::size_t>(length), '\0');
    if (::WideCharToMultiByte(cp, 0, text.data(), n, bytes.data(), length, nullptr, nullptr) != length)
        throw win32_exception(last_error_or(ERROR_NO_UNICODE_TRANSLATION));
    return bytes;
}

// ---------------------------------------------------------------------------
// The INI classes' storage

namespace {

std::uint32_t error_of_current_exception() noexcept
{
    try {
        throw;
    } catch (const win32_exception& e) {
        return e.error() ? e.error() : ERROR_GEN_FAILURE;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
}

class windows_storage final : public ini_storage {
public:
    std::uint32_t read_file(const std::wstring& path, std::string& bytes) const noexcept override
    {
        try {
            const auto f = open_file(path);
            bytes = f->read_all(max_ini_file_size);
            return 0;
        } catch (...) {
            return error_of_current_exception();
        }
    }

    std::uint32_t write_file(const std::wstring& path, std::string_view bytes,
                             bool make_folders) const noexcept override
    {
        try {
            write_file_replacing(path, bytes, make_folders);
            return 0;
        } catch (...) {
            return error_of_current_exception();
        }
    }

    std::wstring decode(std::string_view bytes, std::int32_t code_page) const override
    {
        return multibyte_to_wide(bytes, code_page);
    }

    std::string encode(std::wstring_view text, std::int32_t code_page) const override
    {
        return wide_to_multibyte(text, code_page);
    }
};

} // namespace

const ini_storage& windows_ini_storage() noexcept
{
    static const windows_storage storage;
    return storage;
}

const ini_storage& default_ini_storage() noexcept
{
    return windows_ini_storage();
}

} // namespace ov
