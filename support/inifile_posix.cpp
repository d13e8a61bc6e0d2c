// The INI classes' storage in native builds (the authoring tool, the native
// tests): std streams on UTF-8 paths and Latin-1 for the ANSI code page.
// Windows builds get theirs from the Windows layer (ov_file.cpp).
#include "inifile.h"
#include "ov_string.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace ov {

namespace {

// winerror.h values for the errno codes a file operation meets.
std::uint32_t windows_error(int error, bool writing) noexcept
{
    switch (error) {
    case ENOENT:
        return writing ? 3 /* ERROR_PATH_NOT_FOUND */ : 2 /* ERROR_FILE_NOT_FOUND */;
    case ENOTDIR:
        return 3;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return 5; // ERROR_ACCESS_DENIED
    case ENOSPC:
        return 112; // ERROR_DISK_FULL
    case EFBIG:
        return 223; // ERROR_FILE_TOO_LARGE
    case ENOMEM:
        return 8; // ERROR_NOT_ENOUGH_MEMORY
    default:
        return 31; // ERROR_GEN_FAILURE
    }
}

struct file_closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using unique_file = std::unique_ptr<std::FILE, file_closer>;

class posix_storage final : public ini_storage {
public:
    std::uint32_t read_file(const std::wstring& path, std::string& bytes) const noexcept override
    {
        try {
            errno = 0;
            unique_file f(std::fopen(to_utf8(path).c_str(), "rb"));
            if (!f)
                return windows_error(errno, false);
            std::string data;
            char chunk[16384];
            for (;;) {
                const auto n = std::fread(chunk, 1, sizeof chunk, f.get());
                data.append(chunk, n);
                if (data.size() > max_ini_file_size)
                    return 223; // ERROR_FILE_TOO_LARGE
                if (n < sizeof chunk)
                    break;
            }
            if (std::ferror(f.get()))
                return 30; // ERROR_READ_FAULT
            bytes = std::move(data);
            return 0;
        } catch (...) {
            return 8;
        }
    }

    std::uint32_t write_file(const std::wstring& path, std::string_view bytes,
                             bool create_folders) const noexcept override
    {
        try {
            const std::filesystem::path target(to_utf8(path));
            if (create_folders && target.has_parent_path()) {
                std::error_code ec;
                std::filesystem::create_directories(target.parent_path(), ec);
            }
            // Written beside the target and renamed over it: the file is
            // replaced whole or not at all.
            static std::atomic<unsigned> counter{0};
            std::string temporary;
            unique_file f;
            for (int attempt = 0; attempt < 100 && !f; ++attempt) {
                temporary = target.string() + ".~" + std::to_string(counter++) + ".tmp";
                errno = 0;
                f.reset(std::fopen(temporary.c_str(), "wbx"));
                if (!f && errno != EEXIST)
                    return windows_error(errno, true);
            }
            if (!f)
                return 80; // ERROR_FILE_EXISTS
            const bool written =
                std::fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size() && std::fflush(f.get()) == 0;
            const int write_errno = errno;
            f.reset();
            if (!written) {
                std::remove(temporary.c_str());
                return windows_error(write_errno, true);
            }
            if (std::rename(temporary.c_str(), target.c_str()) != 0) {
                const int rename_errno = errno;
                std::remove(temporary.c_str());
                return windows_error(rename_errno, true);
            }
            return 0;
        } catch (...) {
            return 8;
        }
    }

    std::wstring decode(std::string_view bytes, std::int32_t code_page) const override
    {
        return latin1_decode(bytes, code_page);
    }

    std::string encode(std::wstring_view text, std::int32_t code_page) const override
    {
        return latin1_encode(text, code_page);
    }
};

} // namespace

const ini_storage& default_ini_storage() noexcept
{
    static const posix_storage storage;
    return storage;
}

} // namespace ov
