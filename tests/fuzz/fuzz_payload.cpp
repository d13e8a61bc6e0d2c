// The launcher reads its own file, which anyone can hand it: a fuzzed file
// goes through everything the reader does with it — the PE headers, both
// payload readings, the entry list, name checks and the one-pass extraction
// of every entry (descrambling and inflation) into a counting sink.
#include "payloadformat.h"

#include <cstddef>
#include <cstdint>

namespace {

namespace payload = ov::payload;

struct counting_sink final : payload::byte_sink {
    std::uint64_t bytes = 0;
    bool write(const std::uint8_t* data, std::size_t count) noexcept override
    {
        // Touch the data so that out-of-bounds writes into it are noticed.
        if (count > 0)
            bytes += data[0] + data[count - 1];
        bytes += count;
        return true;
    }
};

// Cancels after a fixed number of blocks on every fourth entry, so that the
// cancel path is fuzzed too.
struct observer final : payload::extract_observer {
    int calls = 0;
    int stop_after = -1;
    bool on_progress(std::uint64_t done, std::uint64_t total) noexcept override
    {
        if (done > total)
            __builtin_trap();
        return stop_after >= 0 && ++calls > stop_after;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    payload::memory_source file(data, size);
    const auto layout = payload::read_pe_layout(file);
    const auto without = payload::find_image_end(file, false);
    const auto with = payload::find_image_end(file, true);
    if (layout.has_value() != without.has_value() || without.has_value() != with.has_value())
        __builtin_trap();
    if (without && *with < *without)
        __builtin_trap();

    const auto index = payload::locate_payload(file);
    if (index.entries.size() > size / payload::record_size)
        __builtin_trap(); // every record occupies 312 bytes of the file
    static_cast<void>(payload::total_size(index.entries));
    static_cast<void>(payload::find_entry(index.entries, "setup.ini"));

    int n = 0;
    for (const auto& e : index.entries) {
        static_cast<void>(payload::is_safe_entry_name(e.record.name));
        counting_sink sink;
        observer watch;
        if (n % 4 == 3)
            watch.stop_after = n;
        static_cast<void>(payload::extract_entry(file, e, sink, &watch));
        if (++n == 32)
            break;
    }

    // The whole input as a zlib stream, fed in uneven pieces.
    payload::inflater inflate;
    if (inflate.init()) {
        counting_sink sink;
        std::size_t at = 0, piece = 1;
        while (at < size) {
            const std::size_t take = piece < size - at ? piece : size - at;
            if (inflate.feed(data + at, take, sink) != payload::inflate_state::need_input)
                break;
            at += take;
            piece = piece * 3 + 1;
        }
    }
    return 0;
}
