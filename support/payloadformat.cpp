#include "payloadformat.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace ov::payload {

namespace {

std::uint16_t le16(const std::uint8_t* p) noexcept
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const std::uint8_t* p) noexcept
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void put16(std::uint8_t* p, std::uint16_t v) noexcept
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v) noexcept
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <typename Ch>
unsigned code_of(Ch c) noexcept
{
    return static_cast<unsigned>(static_cast<std::make_unsigned_t<Ch>>(c));
}

unsigned ascii_upper(unsigned c) noexcept
{
    return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
}

} // namespace

// ---------------------------------------------------------------- layout

bool signature_matches(const std::uint8_t* header) noexcept
{
    // Zero-terminated text within the field; an unterminated field is compared
    // as a whole and cannot match.
    std::size_t length = 0;
    while (length < signature_field_size && header[length] != 0)
        ++length;
    const std::size_t expected = sizeof(signature) - 1;
    if (length != expected)
        return false;
    for (std::size_t i = 0; i < expected; ++i) {
        if (ascii_upper(header[i]) != ascii_upper(static_cast<unsigned char>(signature[i])))
            return false;
    }
    return true;
}

std::uint16_t header_entry_count(const std::uint8_t* header) noexcept
{
    return le16(header + count_offset);
}

std::array<std::uint8_t, header_size> make_header(std::uint16_t count) noexcept
{
    std::array<std::uint8_t, header_size> header{};
    std::memcpy(header.data(), signature, sizeof(signature) - 1);
    put16(header.data() + count_offset, count);
    return header;
}

entry_record parse_record(const std::uint8_t* record)
{
    entry_record result;
    const auto* end = std::find(record, record + name_field_size, std::uint8_t{0});
    result.name.assign(reinterpret_cast<const char*>(record), static_cast<std::size_t>(end - record));
    result.flags = record[flags_offset];
    result.size = le32(record + size_offset);
    result.compressed = le16(record + compressed_offset);
    return result;
}

std::optional<std::array<std::uint8_t, record_size>> make_record(const entry_record& record) noexcept
{
    if (record.name.size() > max_name_length || record.name.find('\0') != std::string::npos)
        return std::nullopt;
    std::array<std::uint8_t, record_size> bytes{};
    std::memcpy(bytes.data(), record.name.data(), record.name.size());
    bytes[flags_offset] = record.flags;
    put32(bytes.data() + size_offset, record.size);
    put16(bytes.data() + compressed_offset, record.compressed);
    return bytes;
}

// ---------------------------------------------------------------- byte I/O

bool read_exact(byte_source& source, std::uint64_t offset, void* buffer, std::size_t count) noexcept
{
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (count > 0) {
        const std::size_t got = std::min(source.read_at(offset, out, count), count);
        if (got == 0)
            return false;
        out += got;
        offset += got;
        count -= got;
    }
    return true;
}

std::size_t memory_source::read_at(std::uint64_t offset, void* buffer, std::size_t count) noexcept
{
    if (offset >= size_)
        return 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - offset));
    std::memcpy(buffer, data_ + offset, n);
    return n;
}

// ---------------------------------------------------------------- executable image

namespace {

constexpr std::uint16_t pe32_magic = 0x10B;
constexpr std::uint16_t pe32plus_magic = 0x20B;
constexpr std::size_t dos_header_size = 64;
constexpr std::size_t lfanew_offset = 0x3C;
// PE signature, file header and a PE32 optional header with its 16 data
// directories: what must be readable for the file to count as an executable.
constexpr std::size_t pe32_headers_needed = 248;
constexpr std::size_t pe32plus_headers_needed = 264;
constexpr std::size_t file_header_offset = 4;
constexpr std::size_t optional_header_offset = 24;
constexpr std::size_t size_of_headers_offset = 60; // same in PE32 and PE32+
constexpr std::size_t section_header_size = 40;
constexpr std::size_t debug_entry_size = 28;
constexpr std::size_t certificate_directory = 4;
constexpr std::size_t debug_directory = 6;

struct section {
    char name[9] = {};
    std::uint32_t virtual_size = 0;
    std::uint32_t virtual_address = 0;
    std::uint32_t raw_size = 0;
    std::uint32_t raw_offset = 0;

    bool named(const char* wanted) const noexcept
    {
        for (std::size_t i = 0;; ++i) {
            if (ascii_upper(static_cast<unsigned char>(name[i])) != ascii_upper(static_cast<unsigned char>(wanted[i])))
                return false;
            if (name[i] == 0)
                return true;
        }
    }
    bool contains(std::uint32_t rva) const noexcept
    {
        const std::uint64_t extent = std::max(virtual_size, raw_size);
        return rva >= virtual_address && rva - virtual_address < extent;
    }
};

// File offset of the debug directory. A ".debug" section that starts at the
// directory holds it at its raw data; otherwise the address is converted
// through ".rdata", else ".text", else whichever section contains it. A
// section that does not contain the address would give a meaningless offset,
// so it is passed over.
std::optional<std::uint64_t> debug_directory_offset(const std::vector<section>& sections, std::uint32_t rva) noexcept
{
    for (const auto& s : sections) {
        if (s.named(".debug") && s.virtual_address == rva)
            return s.raw_offset;
    }
    const section* through = nullptr;
    for (const char* name : {".rdata", ".text"}) {
        for (const auto& s : sections) {
            if (s.named(name)) {
                through = &s;
                break;
            }
        }
        if (through)
            break;
    }
    if (!through || !through->contains(rva)) {
        through = nullptr;
        for (const auto& s : sections) {
            if (s.contains(rva)) {
                through = &s;
                break;
            }
        }
    }
    if (!through)
        return std::nullopt;
    return std::uint64_t{through->raw_offset} + (rva - through->virtual_address);
}

} // namespace

std::optional<pe_layout> read_pe_layout(byte_source& file) noexcept
{
    const std::uint64_t file_size = file.size();
    std::uint8_t dos[dos_header_size];
    if (!read_exact(file, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
        return std::nullopt;
    const std::uint64_t pe = le32(dos + lfanew_offset);

    std::uint8_t headers[pe32plus_headers_needed] = {};
    if (!read_exact(file, pe, headers, pe32_headers_needed))
        return std::nullopt;
    if (std::memcmp(headers, "PE\0\0", 4) != 0)
        return std::nullopt;
    const std::uint8_t* optional = headers + optional_header_offset;
    const std::uint16_t magic = le16(optional);
    pe_layout layout;
    if (magic == pe32plus_magic) {
        layout.pe32plus = true;
        if (!read_exact(file, pe + pe32_headers_needed, headers + pe32_headers_needed,
                        pe32plus_headers_needed - pe32_headers_needed))
            return std::nullopt;
    } else if (magic != pe32_magic) {
        return std::nullopt;
    }

    const std::uint16_t section_count = le16(headers + file_header_offset + 2);
    const std::uint16_t optional_size = le16(headers + file_header_offset + 16);
    const std::size_t directories_offset = layout.pe32plus ? 112 : 96;
    const std::uint32_t declared_directories = le32(optional + directories_offset - 4);
    // Directories count only as far as both the declared number and the
    // optional header's size reach.
    const std::size_t room = optional_size > directories_offset ? (optional_size - directories_offset) / 8 : 0;
    const std::size_t directory_count = std::min<std::size_t>({declared_directories, room, 16});
    auto directory = [&](std::size_t index) -> std::pair<std::uint32_t, std::uint32_t> {
        if (index >= directory_count)
            return {0, 0};
        const std::uint8_t* d = optional + directories_offset + 8 * index;
        return {le32(d), le32(d + 4)};
    };

    const std::uint64_t table = pe + optional_header_offset + optional_size;
    const std::uint64_t table_size = std::uint64_t{section_count} * section_header_size;
    if (table > file_size || table_size > file_size - table)
        return std::nullopt;
    std::vector<std::uint8_t> raw_table;
    try {
        raw_table.resize(static_cast<std::size_t>(table_size));
    } catch (...) {
        return std::nullopt;
    }
    if (!read_exact(file, table, raw_table.data(), raw_table.size()))
        return std::nullopt;

    std::vector<section> sections;
    try {
        sections.resize(section_count);
    } catch (...) {
        return std::nullopt;
    }
    layout.headers_size = le32(optional + size_of_headers_offset);
    std::uint64_t end = layout.headers_size;
    for (std::size_t i = 0; i < section_count; ++i) {
        const std::uint8_t* h = raw_table.data() + i * section_header_size;
        section& s = sections[i];
        std::memcpy(s.name, h, 8);
        s.virtual_size = le32(h + 8);
        s.virtual_address = le32(h + 12);
        s.raw_size = le32(h + 16);
        s.raw_offset = le32(h + 20);
        end += s.raw_size;
    }

    // Debug data (CodeView records and the like) may follow the sections
    // without belonging to any: count what lies beyond the sections.
    std::uint64_t debug_beyond = 0;
    const auto [debug_rva, debug_size] = directory(debug_directory);
    if (debug_rva != 0 && debug_size != 0) {
        if (const auto offset = debug_directory_offset(sections, debug_rva); offset && *offset < file_size) {
            const std::uint64_t count =
                std::min<std::uint64_t>(debug_size / debug_entry_size, (file_size - *offset) / debug_entry_size);
            for (std::uint64_t i = 0; i < count; ++i) {
                std::uint8_t e[debug_entry_size];
                if (!read_exact(file, *offset + i * debug_entry_size, e, sizeof e))
                    break;
                const std::uint32_t data_size = le32(e + 16);
                const std::uint32_t data_offset = le32(e + 24);
                if (std::uint64_t{data_offset} + data_size > end)
                    debug_beyond += data_size;
            }
        }
    }
    layout.image_end = end + debug_beyond;
    const auto [certificate_offset, certificate_size] = directory(certificate_directory);
    layout.certificate_offset = certificate_offset;
    layout.certificate_size = certificate_size;
    return layout;
}

std::optional<std::uint64_t> find_image_end(byte_source& file, bool include_signature) noexcept
{
    const auto layout = read_pe_layout(file);
    if (!layout)
        return std::nullopt;
    return layout->image_end + (include_signature ? layout->certificate_size : 0);
}

// ---------------------------------------------------------------- entry list

namespace {

// The entry count of a payload header at `start`; 0 when there is none.
std::uint16_t header_at(byte_source& file, std::uint64_t start) noexcept
{
    std::uint8_t header[header_size];
    if (!read_exact(file, start, header, sizeof header) || !signature_matches(header))
        return 0;
    return header_entry_count(header);
}

std::vector<entry> read_records(byte_source& file, std::uint64_t start, std::uint16_t count)
{
    std::vector<entry> entries;
    std::uint64_t position = start + header_size;
    // Every record occupies 312 bytes of the file, so the list can never hold
    // more than the file has room for, whatever the count says.
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t bytes[record_size];
        if (!read_exact(file, position, bytes, sizeof bytes))
            break;
        entry e;
        e.record = parse_record(bytes);
        e.data_offset = position + record_size;
        position = e.data_offset + e.record.size;
        entries.push_back(std::move(e));
    }
    return entries;
}

} // namespace

std::vector<entry> read_entries(byte_source& file, std::uint64_t start)
{
    const std::uint16_t count = header_at(file, start);
    return count == 0 ? std::vector<entry>{} : read_records(file, start, count);
}

payload_index locate_payload(byte_source& file)
{
    payload_index index;
    // An unreadable image gives offset 0, as the launcher has always done.
    index.start = find_image_end(file, false).value_or(0);
    if (const std::uint16_t count = header_at(file, index.start); count != 0) {
        index.entries = read_records(file, index.start, count);
        return index;
    }
    // A signed launcher: its certificate table follows the image and the
    // payload follows the certificate table.
    const std::uint64_t after_signature = find_image_end(file, true).value_or(0);
    if (after_signature > index.start) {
        index.start = after_signature;
        index.entries = read_entries(file, index.start);
    }
    return index;
}

bool names_equal(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_upper(static_cast<unsigned char>(a[i])) != ascii_upper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

const entry* find_entry(const std::vector<entry>& entries, std::string_view name) noexcept
{
    for (const auto& e : entries) {
        if (names_equal(e.record.name, name))
            return &e;
    }
    return nullptr;
}

std::uint64_t total_size(const std::vector<entry>& entries) noexcept
{
    std::uint64_t sum = 0;
    for (const auto& e : entries)
        sum += e.record.size;
    return sum;
}

namespace {

template <typename Ch>
bool is_device_name(std::basic_string_view<Ch> name) noexcept
{
    // Windows opens a device for its name before the first dot, blanks
    // before the dot ignored: "nul.txt" and "COM1 .log" are devices too.
    std::basic_string_view<Ch> stem = name.substr(0, std::min(name.find(Ch('.')), name.size()));
    while (!stem.empty() && stem.back() == Ch(' '))
        stem.remove_suffix(1);
    auto is = [&](const char* word) {
        if (stem.size() != std::char_traits<char>::length(word))
            return false;
        for (std::size_t i = 0; i < stem.size(); ++i) {
            if (ascii_upper(code_of(stem[i])) != static_cast<unsigned>(word[i]))
                return false;
        }
        return true;
    };
    if (is("CON") || is("PRN") || is("AUX") || is("NUL") || is("CONIN$") || is("CONOUT$"))
        return true;
    if (stem.size() == 4) {
        const unsigned digit = code_of(stem[3]);
        // Windows also takes the superscript digits 1, 2 and 3 (Latin-1 and
        // the usual ANSI code page place them at the same codes).
        const bool port_digit = (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
        const auto head = stem.substr(0, 3);
        auto head_is = [&](const char* word) {
            for (std::size_t i = 0; i < 3; ++i) {
                if (ascii_upper(code_of(head[i])) != static_cast<unsigned>(word[i]))
                    return false;
            }
            return true;
        };
        if (port_digit && (head_is("COM") || head_is("LPT")))
            return true;
    }
    return false;
}

template <typename Ch>
bool safe_name(std::basic_string_view<Ch> name) noexcept
{
    if (name.empty() || name.size() > max_name_length)
        return false;
    for (const Ch c : name) {
        const unsigned u = code_of(c);
        if (u < 0x20)
            return false;
        switch (u) {
        case '\\':
        case '/':
        case ':':
        case '*':
        case '?':
        case '"':
        case '<':
        case '>':
        case '|':
            return false;
        default:
            break;
        }
    }
    const Ch dots[] = {Ch('.'), Ch('.')};
    if (name.find(std::basic_string_view<Ch>(dots, 2)) != std::basic_string_view<Ch>::npos)
        return false;
    if (name.back() == Ch('.') || name.back() == Ch(' '))
        return false;
    return !is_device_name(name);
}

} // namespace

bool is_safe_entry_name(std::string_view name) noexcept
{
    return safe_name(name);
}

bool is_safe_entry_name(std::wstring_view name) noexcept
{
    return safe_name(name);
}

// ---------------------------------------------------------------- scrambling

std::array<std::uint8_t, 4> scramble_mask() noexcept
{
    // Assembled at run time so that the four bytes never stand together in the
    // launcher's image. The mask is 3A C5 7E 91.
    static constexpr std::uint8_t veiled[4] = {0x9F, 0x60, 0xDB, 0x34};
    std::array<std::uint8_t, 4> mask{};
    for (std::size_t i = 0; i < mask.size(); ++i)
        mask[i] = static_cast<std::uint8_t>(veiled[i] ^ 0xA5);
    return mask;
}

scrambler::scrambler(std::string_view name, bool block_mode)
    : key_length_(std::max<std::size_t>(name.size(), 1)), block_mode_(block_mode)
{
    // Entries without a name are never extracted; a one-byte zero key keeps
    // the arithmetic defined for them.
    const auto mask = scramble_mask();
    std::vector<std::uint8_t> key(key_length_, 0);
    for (std::size_t i = 0; i < name.size(); ++i)
        key[i] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(name[i]) ^ mask[i % 4]);
    expanded_.resize(key_length_ + scramble_block_size);
    for (std::size_t i = 0; i < expanded_.size(); ++i)
        expanded_[i] = key[i % key_length_];
}

template <bool Descramble>
void scrambler::apply(std::uint8_t* data, std::size_t count) noexcept
{
    while (count > 0) {
        std::size_t run = std::min(count, scramble_block_size);
        std::size_t key_index;
        if (block_mode_) {
            const auto in_block = static_cast<std::size_t>(position_ % scramble_block_size);
            run = std::min(run, scramble_block_size - in_block);
            key_index = in_block % key_length_;
        } else {
            key_index = static_cast<std::size_t>(position_ % key_length_);
        }
        const std::uint8_t* key = expanded_.data() + key_index;
        for (std::size_t i = 0; i < run; ++i) {
            const unsigned b = data[i];
            if constexpr (Descramble) {
                data[i] = static_cast<std::uint8_t>(~((b << 4) | (b >> 4)) ^ key[i]);
            } else {
                const unsigned t = ~(b ^ key[i]) & 0xFFu;
                data[i] = static_cast<std::uint8_t>((t << 4) | (t >> 4));
            }
        }
        data += run;
        count -= run;
        position_ += run;
    }
}

void scrambler::descramble(std::uint8_t* data, std::size_t count) noexcept
{
    apply<true>(data, count);
}

void scrambler::scramble(std::uint8_t* data, std::size_t count) noexcept
{
    apply<false>(data, count);
}

// ---------------------------------------------------------------- inflation

inflater::inflater() noexcept = default;

inflater::~inflater()
{
    if (ready_)
        ::inflateEnd(stream_.get());
}

bool inflater::init() noexcept
{
    if (ready_)
        return true;
    stream_.reset(new (std::nothrow) z_stream_s{});
    block_.reset(new (std::nothrow) std::uint8_t[inflate_block_size]);
    if (!stream_ || !block_) {
        error_ = inflate_memory_error;
        return false;
    }
    const int rc = ::inflateInit2(stream_.get(), zlib_window_bits);
    if (rc != Z_OK) {
        error_ = rc == Z_MEM_ERROR ? inflate_memory_error : inflate_data_error;
        return false;
    }
    stream_->next_out = block_.get();
    stream_->avail_out = static_cast<uInt>(inflate_block_size);
    ready_ = true;
    return true;
}

inflate_state inflater::feed(const std::uint8_t* data, std::size_t count, byte_sink& out) noexcept
{
    if (finished_)
        return inflate_state::finished;
    if (!ready_ || error_ != inflate_ok)
        return inflate_state::failed;
    auto fail = [this](int code) {
        error_ = code;
        return inflate_state::failed;
    };
    constexpr std::size_t max_piece = std::numeric_limits<uInt>::max() / 2;
    do {
        const std::size_t piece = std::min(count, max_piece);
        stream_->next_in = const_cast<Bytef*>(data);
        stream_->avail_in = static_cast<uInt>(piece);
        data += piece;
        count -= piece;
        for (;;) {
            const int rc = ::inflate(stream_.get(), Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                const std::size_t have = inflate_block_size - stream_->avail_out;
                if (have > 0 && !out.write(block_.get(), have))
                    return fail(inflate_short_write);
                finished_ = true;
                return inflate_state::finished;
            }
            if (rc == Z_MEM_ERROR)
                return fail(inflate_memory_error);
            if (rc != Z_OK && rc != Z_BUF_ERROR)
                return fail(inflate_data_error); // Z_DATA_ERROR, Z_NEED_DICT, Z_STREAM_ERROR
            if (stream_->avail_out == 0) {
                if (!out.write(block_.get(), inflate_block_size))
                    return fail(inflate_short_write);
                stream_->next_out = block_.get();
                stream_->avail_out = static_cast<uInt>(inflate_block_size);
                continue;
            }
            if (stream_->avail_in == 0)
                break;
            // Room on both sides and still no progress: the stream is broken.
            return fail(inflate_data_error);
        }
    } while (count > 0);
    return inflate_state::need_input;
}

// ---------------------------------------------------------------- extraction

const char* describe(extract_result result) noexcept
{
    switch (result) {
    case extract_result::ok:
        return "extracted";
    case extract_result::cancelled:
        return "cancelled";
    case extract_result::truncated:
        return "the file ends before the entry's data does (truncated)";
    case extract_result::read_error:
        return "the file could not be read";
    case extract_result::write_error:
        return "the output could not be written";
    case extract_result::data_error:
        return "the compressed data is damaged or incomplete";
    case extract_result::memory_error:
        return "out of memory";
    }
    return "unknown result";
}

extract_result extract_entry(byte_source& file, const entry& item, byte_sink& out, extract_observer* observer) noexcept
{
    // Read several scramble blocks per call, still reporting every block.
    constexpr std::size_t read_chunk = 64 * scramble_block_size;
    const entry_record& record = item.record;
    const std::uint64_t total = record.size;

    std::optional<scrambler> unscramble;
    inflater inflate;
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[read_chunk]);
    if (!buffer)
        return extract_result::memory_error;
    try {
        if (record.is_scrambled())
            unscramble.emplace(record.name, record.is_block_mode());
    } catch (...) {
        return extract_result::memory_error;
    }
    if (record.is_compressed()) {
        if (!inflate.init())
            return extract_result::memory_error;
        if (observer)
            observer->on_inflate_start();
    }
    if (observer && observer->on_progress(0, total))
        return extract_result::cancelled;

    // A launcher cut short must not yield a short file that looks complete.
    const std::uint64_t file_size = file.size();
    if (item.data_offset > file_size || total > file_size - item.data_offset)
        return extract_result::truncated;

    std::uint64_t done = 0;
    while (done < total) {
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(read_chunk, total - done));
        if (!read_exact(file, item.data_offset + done, buffer.get(), chunk))
            return file.size() < item.data_offset + total ? extract_result::truncated : extract_result::read_error;
        for (std::size_t at = 0; at < chunk; at += scramble_block_size) {
            const std::size_t n = std::min(scramble_block_size, chunk - at);
            std::uint8_t* block = buffer.get() + at;
            if (unscramble)
                unscramble->descramble(block, n);
            done += n;
            if (record.is_compressed()) {
                switch (inflate.feed(block, n, out)) {
                case inflate_state::need_input:
                    break;
                case inflate_state::finished:
                    // The stream's end and checksum were read: the rest of the
                    // stored data is padding.
                    if (observer)
                        observer->on_progress(total, total);
                    return extract_result::ok;
                case inflate_state::failed:
                    switch (inflate.error()) {
                    case inflate_short_write:
                        return extract_result::write_error;
                    case inflate_memory_error:
                        return extract_result::memory_error;
                    default:
                        return extract_result::data_error;
                    }
                }
            }
            if (observer && observer->on_progress(done, total))
                return extract_result::cancelled;
        }
        if (!record.is_compressed() && !out.write(buffer.get(), chunk))
            return extract_result::write_error;
    }
    // All stored bytes read and no end marker: a truncated zlib stream.
    if (record.is_compressed())
        return extract_result::data_error;
    return extract_result::ok;
}

} // namespace ov::payload
