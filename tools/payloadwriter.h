// Builds a launcher with a payload: the launcher's bytes, then the header and,
// for every entry, its record and its stored data (compressed first, then
// scrambled), laid out exactly where the launcher's reader looks for them.
#pragma once

#include "packio.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ov::pack {

enum class scramble_mode { none, whole, block };

struct entry_spec {
    std::string name; // as stored: ASCII, checked by check_entries
    fs::path path;
    bool compress = false;
    scramble_mode scramble = scramble_mode::none;
};

struct build_options {
    fs::path launcher;
    fs::path output;
    std::vector<entry_spec> entries;
    int level = 9; // zlib compression level, 1-9
};

// Where a payload goes behind a launcher, and whether it may go there.
struct launcher_check {
    bool ok = false;
    std::uint64_t payload_start = 0; // the launcher's file size
    bool is_signed = false;
    std::string error;
};

// A launcher accepts a payload when the reader's offset for it is the end of
// the file: the end of the image for an unsigned launcher, the end of the
// certificate table (which must follow the image) for a signed one.
[[nodiscard]] launcher_check check_launcher(ov::payload::byte_source& launcher);

// Checks the entry list before anything is read or written: the count fits the
// header, every name is safe, plain ASCII (the launcher reads names in the
// user's ANSI code page) and unique without regard to case.
[[nodiscard]] bool check_entries(const std::vector<entry_spec>& entries, std::string& error);

struct build_result {
    bool ok = false;
    std::string error;
    std::uint64_t payload_start = 0;
    std::uint64_t payload_bytes = 0; // header, records and stored data
};

// Writes the output under a temporary name and renames it at the end; on any
// failure nothing is left at the output path (an older file there stays).
[[nodiscard]] build_result build_launcher(const build_options& options);

} // namespace ov::pack
