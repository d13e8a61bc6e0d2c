#include "packio.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace ov::pack {

namespace {

#ifdef _WIN32
int seek(std::FILE* f, std::uint64_t offset) noexcept
{
    return ::_fseeki64(f, static_cast<long long>(offset), SEEK_SET);
}
#else
int seek(std::FILE* f, std::uint64_t offset) noexcept
{
    return ::fseeko(f, static_cast<off_t>(offset), SEEK_SET);
}
#endif

std::FILE* open_read(const fs::path& path) noexcept
{
#ifdef _WIN32
    return ::_wfopen(path.c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

// Creates `path` only when it does not exist yet.
std::FILE* create_new(const fs::path& path) noexcept
{
#ifdef _WIN32
    const int fd = ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    std::FILE* f = ::_fdopen(fd, "wb");
    if (!f)
        ::_close(fd);
    return f;
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f)
        ::close(fd);
    return f;
#endif
}

} // namespace

fs::path path_from_utf8(const std::string& text)
{
    return fs::u8path(text);
}

std::string path_to_utf8(const fs::path& path)
{
    return path.u8string();
}

std::string errno_text(int error)
{
    return std::strerror(error);
}

// ---------------------------------------------------------------- input

input_file::~input_file()
{
    if (file_)
        std::fclose(file_);
}

bool input_file::open(const fs::path& path, std::string& error)
{
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        error = "no such file";
        return false;
    }
    if (!fs::is_regular_file(status)) {
        error = "not a regular file";
        return false;
    }
    file_ = open_read(path);
    if (!file_) {
        error = errno_text(errno);
        return false;
    }
    const auto length = fs::file_size(path, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    size_ = length;
    return true;
}

std::size_t input_file::read_at(std::uint64_t offset, void* buffer, std::size_t count) noexcept
{
    if (!file_ || offset >= size_ || seek(file_, offset) != 0)
        return 0;
    return std::fread(buffer, 1, count, file_);
}

// ---------------------------------------------------------------- output

output_file::output_file(fs::path target) : target_(std::move(target)) {}

output_file::~output_file()
{
    discard();
}

void output_file::discard() noexcept
{
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!committed_ && !temporary_.empty()) {
        std::error_code ec;
        fs::remove(temporary_, ec);
        temporary_.clear();
    }
}

bool output_file::create(std::string& error)
{
    // The temporary file lives beside the target so that the final rename
    // stays on one file system and replaces the target in one step.
    fs::path folder = target_.parent_path();
    if (folder.empty())
        folder = ".";
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".%08llx.tmp", static_cast<unsigned long long>(random() & 0xFFFFFFFFu));
        fs::path candidate = folder / target_.filename();
        candidate += suffix;
        file_ = create_new(candidate);
        if (file_) {
            temporary_ = candidate;
            static_cast<void>(std::setvbuf(file_, nullptr, _IOFBF, 1 << 16));
            return true;
        }
        if (errno != EEXIST) {
            error = "cannot create a file in '" + path_to_utf8(folder) + "': " + errno_text(errno);
            return false;
        }
    }
    error = "cannot find a free temporary name in '" + path_to_utf8(folder) + "'";
    return false;
}

bool output_file::write(const std::uint8_t* data, std::size_t count) noexcept
{
    if (!file_ || write_errno_ != 0)
        return false;
    if (count > 0 && std::fwrite(data, 1, count, file_) != count) {
        write_errno_ = errno != 0 ? errno : EIO;
        return false;
    }
    position_ += count;
    return true;
}

bool output_file::write_at(std::uint64_t offset, const void* data, std::size_t count) noexcept
{
    if (!file_ || write_errno_ != 0 || offset + count > position_)
        return false;
    if (seek(file_, offset) != 0 || std::fwrite(data, 1, count, file_) != count || seek(file_, position_) != 0) {
        write_errno_ = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

std::string output_file::write_error() const
{
    return errno_text(write_errno_ != 0 ? write_errno_ : EIO);
}

bool output_file::commit(std::string& error)
{
    if (!file_) {
        error = "the output was not created";
        return false;
    }
    if (write_errno_ != 0) {
        error = "cannot write '" + path_to_utf8(temporary_) + "': " + write_error();
        return false;
    }
    const bool flushed = std::fflush(file_) == 0 && !std::ferror(file_);
    const int flush_errno = errno;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!flushed || !closed) {
        error = "cannot write '" + path_to_utf8(temporary_) + "': " + errno_text(flushed ? errno : flush_errno);
        return false;
    }
    std::error_code ec;
    fs::rename(temporary_, target_, ec);
    if (ec) {
        error = "cannot rename '" + path_to_utf8(temporary_) + "' to '" + path_to_utf8(target_) + "': " + ec.message();
        return false;
    }
    committed_ = true;
    return true;
}

} // namespace ov::pack
