// STREAM, the payload reader: finds the payload behind the launcher's image
// (or behind its certificate table), lists its entries and extracts them,
// descrambling and inflating in one pass. The file layout and the extraction
// itself are the pure code of payloadformat.h; this is the Windows side.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "payloadformat.h"
#include "streamprogress.h"

namespace ov {

// The size of the executable image in the file at `path`, with the
// certificate table when `include_signature` is set. 0 when the file cannot
// be opened (its Windows error in *error) or is not a valid executable
// (ERROR_BAD_EXE_FORMAT, 193).
[[nodiscard]] std::uint64_t find_image_end(const wchar_t* path, bool include_signature,
                                           DWORD* error = nullptr) noexcept;

// Inflates the zlib stream in `source` into `destination`. 0 on success; -3
// when the stream is damaged or ends early, -4 when zlib has no memory, -1 on
// a short write, or the Windows error when a file cannot be opened or read.
// After every 16 KiB output block `progress` (if any) gets the block number
// (from 0) and the source size / 16384; its answer is ignored. A failed
// inflation leaves no destination file.
[[nodiscard]] std::int32_t inflate_file(const wchar_t* source, const wchar_t* destination,
                                        IStreamProgress* progress) noexcept;

} // namespace ov

class STREAM {
public:
    // Fills in the destination path for an entry, or leaves it empty to stop.
    using DestinationCallback = void (*)(std::wstring_view name, void* context, std::wstring& destination);

    // Opens the file and reads its entry list; a file that cannot be opened
    // gives a closed stream (LastError tells why) and one without a payload an
    // open stream without entries.
    explicit STREAM(std::wstring_view path);
    virtual ~STREAM();
    STREAM(const STREAM&) = delete;
    STREAM& operator=(const STREAM&) = delete;

    [[nodiscard]] bool IsOpen() const noexcept { return open_; }
    [[nodiscard]] bool HasEntry(std::wstring_view name) const noexcept;
    // The first entry of that name (without regard to case): its record and
    // the file offset of its data.
    [[nodiscard]] std::optional<ov::payload::entry> FindEntry(std::wstring_view name) const;
    // Sum of the stored sizes of all entries; 0 when there are none.
    [[nodiscard]] std::uint64_t GetTotalSize() const noexcept;
    // Entry names in file order, as the launcher reads them (ANSI code page).
    [[nodiscard]] std::vector<std::wstring> EntryNames() const;
    [[nodiscard]] std::uint64_t PayloadStart() const noexcept { return start_; }

    // Extracts the named entry to `destination`, replacing any file there.
    // Progress: OnStatus(1, name) first for a compressed entry, then
    // OnProgress(0, stored size) and OnProgress(bytes done, stored size) after
    // every 1024-byte block; a true answer cancels. False when the entry is
    // missing, its name is not a safe file name, its data is cut short or
    // damaged, a file fails, or on cancel; then no destination file is left.
    [[nodiscard]] bool ExtractEntry(std::wstring_view name, std::wstring_view destination,
                                    IStreamProgress* progress) noexcept;

    // For every entry in file order asks `callback` for the destination and
    // extracts the entry there; stops at the first extraction that fails or is
    // cancelled and still answers true. False (nothing extracted) when the
    // stream is closed, has no entries, or any entry's name is unsafe.
    [[nodiscard]] bool ExtractAll(DestinationCallback callback, void* context, IStreamProgress* progress) noexcept;

    // The Windows error of the last failure (ERROR_CANCELLED after a cancel,
    // ERROR_HANDLE_EOF for data cut short, ERROR_INVALID_DATA for a damaged
    // stream, ERROR_INVALID_NAME for an unsafe name, ERROR_FILE_NOT_FOUND for
    // a missing entry).
    [[nodiscard]] DWORD LastError() const noexcept { return last_error_; }

private:
    struct Item {
        ov::payload::entry entry;
        std::wstring name;
    };
    [[nodiscard]] const Item* Find(std::wstring_view name) const noexcept;
    [[nodiscard]] bool Extract(const Item& item, std::wstring_view destination, IStreamProgress* progress) noexcept;

    std::wstring path_;
    bool open_ = false;
    std::uint64_t start_ = 0;
    DWORD last_error_ = ERROR_SUCCESS;
    std::vector<Item> items_;
};
