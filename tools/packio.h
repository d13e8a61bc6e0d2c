// Files for the authoring tool, on Linux and on Windows alike: an input file
// that serves as the payload reader's byte source, and an output file that is
// written under a temporary name beside its target and renamed over it only
// when complete, so that no half-written output is ever left behind.
#pragma once

#include "payloadformat.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace ov::pack {

namespace fs = std::filesystem;

// UTF-8 text <-> path, the same on both systems.
[[nodiscard]] fs::path path_from_utf8(const std::string& text);
[[nodiscard]] std::string path_to_utf8(const fs::path& path);

class input_file final : public ov::payload::byte_source {
public:
    input_file() = default;
    ~input_file();
    input_file(const input_file&) = delete;
    input_file& operator=(const input_file&) = delete;

    // Opens a regular file; on failure `error` says why.
    [[nodiscard]] bool open(const fs::path& path, std::string& error);
    [[nodiscard]] std::uint64_t size() const noexcept override { return size_; }
    [[nodiscard]] std::size_t read_at(std::uint64_t offset, void* buffer, std::size_t count) noexcept override;

private:
    std::FILE* file_ = nullptr;
    std::uint64_t size_ = 0;
};

class output_file final : public ov::payload::byte_sink {
public:
    explicit output_file(fs::path target);
    // Removes the temporary file unless commit() succeeded.
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // Creates the temporary file in the target's folder (never an existing one).
    [[nodiscard]] bool create(std::string& error);
    [[nodiscard]] bool write(const std::uint8_t* data, std::size_t count) noexcept override;
    // Overwrites bytes already written (a record whose size is known only
    // after its data), then continues at the end.
    [[nodiscard]] bool write_at(std::uint64_t offset, const void* data, std::size_t count) noexcept;
    [[nodiscard]] std::uint64_t position() const noexcept { return position_; }
    // Flushes, closes and renames over the target.
    [[nodiscard]] bool commit(std::string& error);
    // The reason for the first failed write.
    [[nodiscard]] std::string write_error() const;
    [[nodiscard]] const fs::path& temporary() const noexcept { return temporary_; }

private:
    void discard() noexcept;

    fs::path target_;
    fs::path temporary_;
    std::FILE* file_ = nullptr;
    std::uint64_t position_ = 0;
    int write_errno_ = 0;
    bool committed_ = false;
};

// "text: reason" for the current errno.
[[nodiscard]] std::string errno_text(int error);

} // namespace ov::pack
