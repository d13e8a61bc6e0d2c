#include "payloadwriter.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_set>

namespace ov::pack {

namespace payload = ov::payload;

namespace {

constexpr std::size_t io_chunk = 64 * 1024;

std::string upper_ascii(std::string_view text)
{
    std::string result(text);
    for (char& c : result) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return result;
}

std::string in_quotes(const std::string& text)
{
    return "'" + text + "'";
}

std::string shown_name(const std::string& name)
{
    // A name may be very long or hold control characters: show a safe excerpt.
    std::string shown;
    for (char c : name.substr(0, 60))
        shown += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
    if (name.size() > 60)
        shown += "...";
    return in_quotes(shown);
}

// Writes one entry: its record, then its data (compressed, then scrambled);
// the record's size is filled in once the data is written.
bool write_entry(output_file& out, const entry_spec& spec, int level, std::string& error)
{
    const std::string where = in_quotes(path_to_utf8(spec.path));
    input_file in;
    std::string why;
    if (!in.open(spec.path, why)) {
        error = "cannot open input file " + where + ": " + why;
        return false;
    }

    payload::entry_record record;
    record.name = spec.name;
    record.compressed = spec.compress ? 1 : 0;
    if (spec.scramble != scramble_mode::none)
        record.flags |= payload::flag_scrambled;
    if (spec.scramble == scramble_mode::block)
        record.flags |= payload::flag_block_mode;
    const std::uint64_t record_offset = out.position();
    auto bytes = payload::make_record(record);
    if (!bytes || !out.write(bytes->data(), bytes->size())) {
        error = "cannot write the output: " + out.write_error();
        return false;
    }

    std::optional<payload::scrambler> scramble;
    if (spec.scramble != scramble_mode::none)
        scramble.emplace(spec.name, spec.scramble == scramble_mode::block);
    std::uint64_t stored = 0;
    bool too_large = false;
    auto emit = [&](std::uint8_t* data, std::size_t count) {
        if (stored + count > payload::max_stored_size) {
            too_large = true;
            return false;
        }
        if (scramble)
            scramble->scramble(data, count);
        stored += count;
        return out.write(data, count);
    };

    auto input = std::make_unique<std::uint8_t[]>(io_chunk);
    auto output = std::make_unique<std::uint8_t[]>(io_chunk);
    const std::uint64_t input_size = in.size();
    bool ok = true;
    bool read_failed = false;
    if (!spec.compress) {
        for (std::uint64_t at = 0; ok && at < input_size;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(io_chunk, input_size - at));
            if (!payload::read_exact(in, at, input.get(), n)) {
                read_failed = true;
                break;
            }
            ok = emit(input.get(), n);
            at += n;
        }
    } else {
        z_stream z{};
        if (::deflateInit2(&z, level, Z_DEFLATED, payload::zlib_window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            error = "cannot start zlib compression";
            return false;
        }
        std::uint64_t at = 0;
        int rc = Z_OK;
        while (ok && rc != Z_STREAM_END) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(io_chunk, input_size - at));
            if (n > 0 && !payload::read_exact(in, at, input.get(), n)) {
                read_failed = true;
                break;
            }
            at += n;
            const int flush = at == input_size ? Z_FINISH : Z_NO_FLUSH;
            z.next_in = input.get();
            z.avail_in = static_cast<uInt>(n);
            do {
                z.next_out = output.get();
                z.avail_out = static_cast<uInt>(io_chunk);
                rc = ::deflate(&z, flush);
                const std::size_t have = io_chunk - z.avail_out;
                if (have > 0 && !emit(output.get(), have)) {
                    ok = false;
                    break;
                }
            } while (z.avail_out == 0);
        }
        ::deflateEnd(&z);
    }
    if (read_failed) {
        error = "cannot read input file " + where;
        return false;
    }
    if (too_large) {
        error = "input file " + where + " gives more than 4294967295 stored bytes, the most an entry can hold";
        return false;
    }
    if (!ok) {
        error = "cannot write the output: " + out.write_error();
        return false;
    }
    record.size = static_cast<std::uint32_t>(stored);
    bytes = payload::make_record(record);
    if (!out.write_at(record_offset, bytes->data(), bytes->size())) {
        error = "cannot write the output: " + out.write_error();
        return false;
    }
    return true;
}

} // namespace

launcher_check check_launcher(payload::byte_source& launcher)
{
    launcher_check check;
    const auto layout = payload::read_pe_layout(launcher);
    if (!layout) {
        check.error = "not a Windows executable (no valid MZ/PE headers)";
        return check;
    }
    const std::uint64_t size = launcher.size();
    const std::uint64_t image_end = layout->image_end;
    auto payload_at = [&](std::uint64_t offset) { return !payload::read_entries(launcher, offset).empty(); };
    if (layout->certificate_size != 0) {
        check.is_signed = true;
        if (layout->certificate_offset != image_end || layout->certificate_offset > size ||
            size - layout->certificate_offset != layout->certificate_size) {
            check.error = "its certificate table (at offset " + std::to_string(layout->certificate_offset) + ", " +
                          std::to_string(layout->certificate_size) +
                          " bytes) does not directly follow the executable image (which ends at " +
                          std::to_string(image_end) + ") at the end of the file (" + std::to_string(size) +
                          " bytes), so the launcher would not find a payload behind it; sign the bare launcher";
            return check;
        }
        if (payload_at(image_end)) {
            check.error = "it reads as carrying a payload already";
            return check;
        }
    } else if (size < image_end) {
        check.error = "it is truncated: its image ends at " + std::to_string(image_end) + " but the file has " +
                      std::to_string(size) + " bytes";
        return check;
    } else if (size > image_end) {
        if (payload_at(image_end)) {
            check.error = "it already carries a payload; build from the bare launcher";
        } else {
            check.error = "it has " + std::to_string(size - image_end) +
                          " bytes after its executable image (a symbol table or other appended data), where the "
                          "launcher looks for its payload; strip it (for example with x86_64-w64-mingw32-strip) first";
        }
        return check;
    }
    check.payload_start = size;
    check.ok = true;
    return check;
}

bool check_entries(const std::vector<entry_spec>& entries, std::string& error)
{
    if (entries.empty()) {
        error = "no input files given";
        return false;
    }
    if (entries.size() > payload::max_entries) {
        error = "too many entries: " + std::to_string(entries.size()) + " (a payload holds at most 65535)";
        return false;
    }
    std::unordered_set<std::string> seen;
    seen.reserve(entries.size());
    for (const auto& e : entries) {
        if (e.name.size() > payload::max_name_length) {
            error = "entry name " + shown_name(e.name) + " is " + std::to_string(e.name.size()) +
                    " bytes long; names hold at most 259 bytes";
            return false;
        }
        if (std::any_of(e.name.begin(), e.name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
            error = "entry name " + shown_name(e.name) +
                    " is not plain ASCII; the launcher reads names in the user's ANSI code page";
            return false;
        }
        if (!payload::is_safe_entry_name(e.name)) {
            error = "entry name " + shown_name(e.name) +
                    " is not a safe file name: it must not be empty, contain \\ / : * ? \" < > |, control "
                    "characters or \"..\", end in a dot or blank, or be a device name such as CON, NUL, COM1 or LPT1";
            return false;
        }
        if (!seen.insert(upper_ascii(e.name)).second) {
            error = "duplicate entry name " + shown_name(e.name) + " (names are compared without regard to case)";
            return false;
        }
    }
    return true;
}

build_result build_launcher(const build_options& options)
{
    build_result result;
    auto fail = [&](std::string message) {
        result.error = std::move(message);
        return result;
    };
    if (options.level < 1 || options.level > 9)
        return fail("the compression level must be 1 to 9");
    if (!check_entries(options.entries, result.error))
        return result;
    // Every input is checked before the output is created.
    for (const auto& e : options.entries) {
        std::error_code ec;
        const auto status = fs::status(e.path, ec);
        const std::string where = in_quotes(path_to_utf8(e.path));
        if (!fs::exists(status))
            return fail("input file " + where + " does not exist");
        if (!fs::is_regular_file(status))
            return fail("input " + where + " is not a regular file");
        const auto size = fs::file_size(e.path, ec);
        if (ec)
            return fail("cannot read the size of input file " + where + ": " + ec.message());
        if (!e.compress && size > payload::max_stored_size)
            return fail("input file " + where + " is " + std::to_string(size) +
                        " bytes; an entry holds at most 4294967295 bytes");
    }

    input_file launcher;
    std::string why;
    if (!launcher.open(options.launcher, why))
        return fail("cannot open launcher " + in_quotes(path_to_utf8(options.launcher)) + ": " + why);
    const auto check = check_launcher(launcher);
    if (!check.ok)
        return fail("launcher " + in_quotes(path_to_utf8(options.launcher)) +
                    " cannot carry a payload: " + check.error);

    output_file out(options.output);
    if (!out.create(result.error))
        return result;
    auto buffer = std::make_unique<std::uint8_t[]>(io_chunk);
    for (std::uint64_t at = 0; at < check.payload_start;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(io_chunk, check.payload_start - at));
        if (!payload::read_exact(launcher, at, buffer.get(), n))
            return fail("cannot read launcher " + in_quotes(path_to_utf8(options.launcher)));
        if (!out.write(buffer.get(), n))
            return fail("cannot write the output: " + out.write_error());
        at += n;
    }
    const auto header = payload::make_header(static_cast<std::uint16_t>(options.entries.size()));
    if (!out.write(header.data(), header.size()))
        return fail("cannot write the output: " + out.write_error());
    for (const auto& e : options.entries) {
        if (!write_entry(out, e, options.level, result.error))
            return result;
    }
    const std::uint64_t end = out.position();
    if (!out.commit(result.error))
        return result;
    result.ok = true;
    result.payload_start = check.payload_start;
    result.payload_bytes = end - check.payload_start;
    return result;
}

} // namespace ov::pack
