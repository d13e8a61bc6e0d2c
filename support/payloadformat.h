// The payload that the authoring tool appends to the launcher: its layout,
// how the reader finds it behind the executable image, the entry lookup, the
// descrambler and a streaming inflater, and the one-pass extraction that the
// launcher, the authoring tool, the benchmark and the fuzzer all share.
//
// Pure logic: no Windows headers. Everything reads through `byte_source`, so
// crafted buffers exercise it natively. The file is untrusted input: every
// size, count and offset read from it is checked against the file size before
// use, and every loop is bounded by the file size or by a count from the
// fixed-size header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct z_stream_s;

namespace ov::payload {

// ---------------------------------------------------------------- layout

inline constexpr std::size_t header_size = 46;
inline constexpr std::size_t signature_field_size = 14;
inline constexpr std::size_t count_offset = 14;
inline constexpr std::size_t record_size = 312;
inline constexpr std::size_t name_field_size = 260;
inline constexpr std::size_t max_name_length = name_field_size - 1; // room for the terminating zero
inline constexpr std::size_t flags_offset = 260;
inline constexpr std::size_t size_offset = 268;
inline constexpr std::size_t compressed_offset = 280;
inline constexpr std::size_t max_entries = 0xFFFF;           // the count is 16 bits
inline constexpr std::uint64_t max_stored_size = 0xFFFFFFFF; // the size is 32 bits
inline constexpr char signature[] = "Orvane";

// Stored data is copied, descrambled and reported in blocks of this size; in
// block mode the scrambling key restarts at every block.
inline constexpr std::size_t scramble_block_size = 1024;
// zlib format (header and Adler-32), 32 KiB window, inflated in 16 KiB blocks.
inline constexpr int zlib_window_bits = 15;
inline constexpr std::size_t inflate_block_size = 16384;

enum entry_flag : std::uint8_t {
    flag_scrambled = 0x02,
    flag_block_mode = 0x04,
};

// One entry record as stored. The name is the ANSI text of the field up to
// its first zero (or the whole field when it has none).
struct entry_record {
    std::string name;
    std::uint8_t flags = 0;
    std::uint32_t size = 0; // stored bytes
    std::uint16_t compressed = 0;

    [[nodiscard]] bool is_scrambled() const noexcept { return (flags & flag_scrambled) != 0; }
    [[nodiscard]] bool is_block_mode() const noexcept { return (flags & flag_block_mode) != 0; }
    [[nodiscard]] bool is_compressed() const noexcept { return compressed != 0; }
};

// A record and the file offset of its stored data.
struct entry {
    entry_record record;
    std::uint64_t data_offset = 0;
};

// The signature field read as zero-terminated text, compared without regard to
// case ("ORVANE" matches; "Orvanex" does not).
[[nodiscard]] bool signature_matches(const std::uint8_t* header) noexcept;
[[nodiscard]] std::uint16_t header_entry_count(const std::uint8_t* header) noexcept;
[[nodiscard]] std::array<std::uint8_t, header_size> make_header(std::uint16_t count) noexcept;

[[nodiscard]] entry_record parse_record(const std::uint8_t* record);
// The 312 bytes of a record; nothing when the name does not fit its field.
[[nodiscard]] std::optional<std::array<std::uint8_t, record_size>> make_record(const entry_record& record) noexcept;

// ---------------------------------------------------------------- byte I/O

// Random-access reading of the launcher's file (a Windows handle, a C stream,
// a buffer in tests and fuzzing).
class byte_source {
public:
    [[nodiscard]] virtual std::uint64_t size() const noexcept = 0;
    // Reads up to `count` bytes at `offset`; answers the number read, 0 at the
    // end of the file or on a read error.
    [[nodiscard]] virtual std::size_t read_at(std::uint64_t offset, void* buffer, std::size_t count) noexcept = 0;

protected:
    ~byte_source() = default;
};

// True when all `count` bytes at `offset` were read.
[[nodiscard]] bool read_exact(byte_source& source, std::uint64_t offset, void* buffer, std::size_t count) noexcept;

class memory_source final : public byte_source {
public:
    memory_source(const void* data, std::size_t size) noexcept
        : data_(static_cast<const std::uint8_t*>(data)), size_(size)
    {
    }
    [[nodiscard]] std::uint64_t size() const noexcept override { return size_; }
    [[nodiscard]] std::size_t read_at(std::uint64_t offset, void* buffer, std::size_t count) noexcept override;

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// Where extracted bytes go. A false answer ends the extraction as a write error.
class byte_sink {
public:
    [[nodiscard]] virtual bool write(const std::uint8_t* data, std::size_t count) noexcept = 0;

protected:
    ~byte_sink() = default;
};

// ---------------------------------------------------------------- executable image

// What the reader needs from the launcher's PE headers.
struct pe_layout {
    std::uint64_t headers_size = 0;       // optional header's SizeOfHeaders
    std::uint64_t image_end = 0;          // headers + raw section data + debug data beyond them
    std::uint64_t certificate_offset = 0; // data directory 4: a file offset, not an address
    std::uint64_t certificate_size = 0;
    bool pe32plus = false;
};

// Reads the PE headers; nothing when the file is not a valid executable (the
// launcher reports Windows error 193 then).
[[nodiscard]] std::optional<pe_layout> read_pe_layout(byte_source& file) noexcept;

// The size of the executable image in the file: SizeOfHeaders plus the raw
// size of every section plus the debug data that lies beyond them, plus the
// certificate table when `include_signature` is set. Nothing when the file is
// not a valid executable.
[[nodiscard]] std::optional<std::uint64_t> find_image_end(byte_source& file, bool include_signature) noexcept;

// ---------------------------------------------------------------- entry list

struct payload_index {
    std::uint64_t start = 0; // offset of the header; meaningful only with entries
    std::vector<entry> entries;
};

// The entries of a payload whose header is at `start`: none when the
// signature does not match or the count is 0. Stops early at a record that
// cannot be read whole.
[[nodiscard]] std::vector<entry> read_entries(byte_source& file, std::uint64_t start);

// Finds the payload as the launcher does: first at the image end without the
// certificate table, then, when that reading finds none, after the certificate
// table (where a signed launcher carries it).
[[nodiscard]] payload_index locate_payload(byte_source& file);

// Entry names are compared without regard to ASCII case.
[[nodiscard]] bool names_equal(std::string_view a, std::string_view b) noexcept;
// The first entry in file order with that name, or null.
[[nodiscard]] const entry* find_entry(const std::vector<entry>& entries, std::string_view name) noexcept;
// Sum of the stored sizes (65535 entries of 4 GiB still fit in 64 bits).
[[nodiscard]] std::uint64_t total_size(const std::vector<entry>& entries) noexcept;

// True when a file created under `name` in a folder stays in that folder and is
// an ordinary file: not empty, at most 259 characters, no folder separators,
// drive or stream colon, "..", wildcard or control characters, no trailing dot
// or blank (Windows drops them), and no DOS device name (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, also with an extension). Used by the launcher before it
// writes an entry and by the authoring tool before it stores one.
[[nodiscard]] bool is_safe_entry_name(std::string_view name) noexcept;
[[nodiscard]] bool is_safe_entry_name(std::wstring_view name) noexcept;

// ---------------------------------------------------------------- scrambling

// The four mask bytes combined with the entry name into the key.
[[nodiscard]] std::array<std::uint8_t, 4> scramble_mask() noexcept;

// Scrambles or descrambles a stream of stored bytes. Key byte i is name byte i
// XOR mask byte (i mod 4); plain byte p at unit position n is stored as
// s = swap_nibbles(~(p XOR key[n mod key length])), so p = ~swap_nibbles(s) XOR
// key[...]. The unit is the whole stored data, or each 1024-byte block in
// block mode. Bytes may be fed in pieces of any size.
class scrambler {
public:
    scrambler(std::string_view name, bool block_mode);
    void descramble(std::uint8_t* data, std::size_t count) noexcept;
    void scramble(std::uint8_t* data, std::size_t count) noexcept;
    // Back to position 0 of the unit.
    void restart() noexcept { position_ = 0; }

private:
    template <bool Descramble>
    void apply(std::uint8_t* data, std::size_t count) noexcept;

    // The key repeated so that any run of up to 1024 bytes starting at any key
    // index reads it without wrapping.
    std::vector<std::uint8_t> expanded_;
    std::size_t key_length_;
    bool block_mode_;
    std::uint64_t position_ = 0;
};

// ---------------------------------------------------------------- inflation

// Results of inflation, as `inflate_file` answers them.
inline constexpr int inflate_ok = 0;
inline constexpr int inflate_short_write = -1;
inline constexpr int inflate_data_error = -3;   // Z_DATA_ERROR: bad or truncated stream, dictionary needed
inline constexpr int inflate_memory_error = -4; // Z_MEM_ERROR

enum class inflate_state { need_input, finished, failed };

// A zlib inflation that hands its output to a sink in 16 KiB blocks (the last
// one shorter). Feed it input until it reports `finished`.
class inflater {
public:
    inflater() noexcept;
    ~inflater();
    inflater(const inflater&) = delete;
    inflater& operator=(const inflater&) = delete;

    // Prepares the stream; false (and error() set) when zlib cannot.
    [[nodiscard]] bool init() noexcept;
    // Inflates `count` bytes. `finished` once the stream's end (and checksum)
    // was read; bytes after it are ignored. On `failed`, error() tells why.
    [[nodiscard]] inflate_state feed(const std::uint8_t* data, std::size_t count, byte_sink& out) noexcept;
    [[nodiscard]] int error() const noexcept { return error_; }
    [[nodiscard]] bool finished() const noexcept { return finished_; }

private:
    std::unique_ptr<z_stream_s> stream_;
    std::unique_ptr<std::uint8_t[]> block_;
    bool ready_ = false;
    bool finished_ = false;
    int error_ = inflate_ok;
};

// ---------------------------------------------------------------- extraction

class extract_observer {
public:
    // After 0 and after every 1024-byte block of stored data consumed; true asks
    // to stop.
    virtual bool on_progress(std::uint64_t done, std::uint64_t total) noexcept = 0;
    // Once, before the first block of a compressed entry is inflated.
    virtual void on_inflate_start() noexcept {}

protected:
    ~extract_observer() = default;
};

enum class extract_result {
    ok,
    cancelled,    // the observer asked to stop
    truncated,    // the file ends before the entry's stored data does
    read_error,   // the file could not be read although it is long enough
    write_error,  // the sink refused bytes
    data_error,   // not a valid zlib stream, or it ends before its end marker
    memory_error, // zlib could not allocate its state
};

// A short English description, for logs and the authoring tool.
[[nodiscard]] const char* describe(extract_result result) noexcept;

// Extracts one entry in a single pass: reads its stored data, descrambles it,
// inflates it when it is compressed, and writes the plain bytes to `out`.
// Memory use is fixed (a 64 KiB read buffer, the 16 KiB inflate block, zlib's
// window), whatever the entry's size. The caller removes a partial output when
// the result is not `ok`.
[[nodiscard]] extract_result extract_entry(byte_source& file, const entry& item, byte_sink& out,
                                           extract_observer* observer) noexcept;

} // namespace ov::payload
