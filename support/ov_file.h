// Files of the support library. `ov::file` wraps one Win32 file handle;
// failures throw ov::file_exception carrying the error code and the file name.
// `open_file` is where a path is turned into a file object: local paths, and
// web addresses ("http://", "https://") as ov::remote_file (support/inet.h),
// a subclass of ov::file overriding its virtual operations.
#pragma once

#include "inifile.h"
#include "ov_exceptions.h"
#include "ov_handles.h"
#include "textdecode.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace ov {

class file {
public:
    file() noexcept = default;
    virtual ~file() = default;
    file(file&&) noexcept = default;
    file& operator=(file&&) noexcept = default;
    file(const file&) = delete;
    file& operator=(const file&) = delete;

    // Opens an existing file for reading; `share` says what others may do
    // meanwhile (reading, by default).
    void open_read(const std::wstring& path, DWORD share = FILE_SHARE_READ);
    // Creates a file for writing (CREATE_ALWAYS replaces an old one;
    // CREATE_NEW fails when one exists); others may read meanwhile.
    void create(const std::wstring& path, DWORD disposition = CREATE_ALWAYS, DWORD share = FILE_SHARE_READ);

    // Reads up to `size` bytes; fewer only at the end of the file.
    [[nodiscard]] virtual std::size_t read(void* buffer, std::size_t size);
    // Reads exactly `size` bytes; ERROR_HANDLE_EOF when the file ends first.
    void read_exact(void* buffer, std::size_t size);
    // Reads from the current position to the end. Files with more than
    // `max_size` bytes left are refused with ERROR_FILE_TOO_LARGE.
    [[nodiscard]] std::string read_all(std::size_t max_size);
    virtual void write(const void* data, std::size_t size);
    void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
    [[nodiscard]] virtual std::uint64_t size() const;
    // Moves the file pointer (FILE_BEGIN, FILE_CURRENT, FILE_END); answers the new position.
    virtual std::uint64_t seek(std::int64_t offset, DWORD origin = FILE_BEGIN);
    [[nodiscard]] std::uint64_t position() const { return const_cast<file*>(this)->seek(0, FILE_CURRENT); }
    // Commits written data to the disk.
    virtual void flush();
    virtual void close() noexcept;

    [[nodiscard]] bool is_open() const noexcept { return static_cast<bool>(handle_); }
    [[nodiscard]] const std::wstring& name() const noexcept { return name_; }
    [[nodiscard]] HANDLE handle() const noexcept { return handle_.get(); }

protected:
    // The exception for the last failed call on this file.
    [[nodiscard]] file_exception failure() const;
    void require_open() const;

private:
    unique_hfile handle_;
    std::wstring name_;
};

// True for "http://" and "https://" addresses (any letter case).
[[nodiscard]] bool is_web_address(std::wstring_view path) noexcept;

// Opens a file for reading. Web addresses open a remote file: nothing is
// sent until it is read or sized, and its failures throw
// ov::internet_file_exception (an ov::file_exception) with the address.
[[nodiscard]] std::unique_ptr<file> open_file(const std::wstring& path);

// Text files larger than this are refused (ERROR_FILE_TOO_LARGE).
inline constexpr std::size_t max_text_file_size = 64u * 1024u * 1024u;

// Reads a whole text file: UTF-16LE, UTF-16BE and UTF-8 by their byte-order
// marks, other text in the system ANSI code page; a code page other than
// code_page_detect is used as given. Throws ov::file_exception.
[[nodiscard]] decoded_text read_text_file(const std::wstring& path, std::int32_t code_page = code_page_detect,
                                          std::size_t max_size = max_text_file_size);

// Replaces a file with `bytes` as a whole: they are written to a temporary
// file in the same folder, committed to disk and renamed over the target, so
// the target never holds a half-written content. The temporary is removed on
// failure. With `make_folders`, missing parent folders are created first.
// Throws ov::file_exception.
void write_file_replacing(const std::wstring& path, std::string_view bytes, bool make_folders = false);

// Creates a folder and any missing parents. Throws ov::file_exception.
void create_folders(const std::wstring& folder);

// Conversions in a Windows code page (0: the system ANSI code page, 3: the
// thread's). Throw ov::win32_exception for an unusable code page.
[[nodiscard]] std::wstring multibyte_to_wide(std::string_view bytes, std::int32_t code_page);
[[nodiscard]] std::string wide_to_multibyte(std::wstring_view text, std::int32_t code_page);

// The INI classes' storage on Windows (also default_ini_storage() there).
[[nodiscard]] const ini_storage& windows_ini_storage() noexcept;

} // namespace ov
