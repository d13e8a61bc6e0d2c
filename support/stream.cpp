#include "stream.h"

#include <algorithm>
#include <memory>

#include "ov_exceptions.h"
#include "ov_handles.h"
#include "ov_string.h"

namespace payload = ov::payload;

namespace {

// At most this much per ReadFile/WriteFile call (their counts are 32 bits).
constexpr std::size_t max_io = 1u << 30;

ov::unique_hfile open_shared_for_reading(const wchar_t* path) noexcept
{
    // Read and write sharing: the session's stream and one-shot readers work on
    // the same launcher file at the same time.
    return ov::unique_hfile(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// The launcher's file as the pure reader's byte source: positioned reads, so
// that no file pointer is shared between callers.
class file_source final : public payload::byte_source {
public:
    explicit file_source(HANDLE file) noexcept : file_(file)
    {
        LARGE_INTEGER size = {};
        if (::GetFileSizeEx(file, &size))
            size_ = static_cast<std::uint64_t>(size.QuadPart);
        else
            error_ = ov::last_error_or();
    }
    [[nodiscard]] std::uint64_t size() const noexcept override { return size_; }
    [[nodiscard]] std::size_t read_at(std::uint64_t offset, void* buffer, std::size_t count) noexcept override
    {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!::ReadFile(file_, buffer, static_cast<DWORD>(std::min(count, max_io)), &got, &at)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_HANDLE_EOF)
                error_ = error != ERROR_SUCCESS ? error : ERROR_READ_FAULT;
            return 0;
        }
        return got;
    }
    [[nodiscard]] DWORD error() const noexcept { return error_; }

private:
    HANDLE file_;
    std::uint64_t size_ = 0;
    DWORD error_ = ERROR_SUCCESS;
};

class file_sink final : public payload::byte_sink {
public:
    explicit file_sink(HANDLE file) noexcept : file_(file) {}
    [[nodiscard]] bool write(const std::uint8_t* data, std::size_t count) noexcept override
    {
        while (count > 0) {
            const DWORD piece = static_cast<DWORD>(std::min(count, max_io));
            DWORD written = 0;
            if (!::WriteFile(file_, data, piece, &written, nullptr)) {
                error_ = ov::last_error_or(ERROR_WRITE_FAULT);
                return false;
            }
            if (written != piece) {
                error_ = ERROR_WRITE_FAULT; // a short write: the disk is full
                return false;
            }
            data += piece;
            count -= piece;
        }
        return true;
    }
    [[nodiscard]] DWORD error() const noexcept { return error_; }

private:
    HANDLE file_;
    DWORD error_ = ERROR_SUCCESS;
};

// Hands the pure extraction's progress to the session. The session's handlers
// may throw; no exception crosses back into the extraction, and one that
// escapes a progress call stops it.
class progress_adapter final : public payload::extract_observer {
public:
    progress_adapter(IStreamProgress* progress, std::wstring_view name) noexcept : progress_(progress), name_(name) {}
    bool on_progress(std::uint64_t done, std::uint64_t total) noexcept override
    {
        try {
            return progress_ && progress_->OnProgress(done, total);
        } catch (...) {
            return true;
        }
    }
    void on_inflate_start() noexcept override
    {
        try {
            if (progress_)
                progress_->OnStatus(1, name_);
        } catch (...) {
        }
    }

private:
    IStreamProgress* progress_;
    std::wstring_view name_;
};

// Entry names are ANSI text in the system's code page, as they always were.
std::wstring from_ansi(std::string_view text)
{
    if (text.empty())
        return {};
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0)
        return std::wstring(text.size(), L'?');
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

DWORD error_of(payload::extract_result result, const file_source& in, const file_sink& out) noexcept
{
    switch (result) {
    case payload::extract_result::ok:
        return ERROR_SUCCESS;
    case payload::extract_result::cancelled:
        return ERROR_CANCELLED;
    case payload::extract_result::truncated:
        return ERROR_HANDLE_EOF;
    case payload::extract_result::read_error:
        return in.error() != ERROR_SUCCESS ? in.error() : ERROR_READ_FAULT;
    case payload::extract_result::write_error:
        return out.error() != ERROR_SUCCESS ? out.error() : ERROR_WRITE_FAULT;
    case payload::extract_result::data_error:
        return ERROR_INVALID_DATA;
    case payload::extract_result::memory_error:
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_GEN_FAILURE;
}

} // namespace

namespace ov {

std::uint64_t find_image_end(const wchar_t* path, bool include_signature, DWORD* error) noexcept
{
    DWORD ignored = ERROR_SUCCESS;
    DWORD& result = error ? *error : ignored;
    const auto file = open_shared_for_reading(path);
    if (!file) {
        result = last_error_or();
        return 0;
    }
    file_source source(file.get());
    const auto end = payload::find_image_end(source, include_signature);
    if (!end) {
        result = ERROR_BAD_EXE_FORMAT;
        return 0;
    }
    result = ERROR_SUCCESS;
    return *end;
}

std::int32_t inflate_file(const wchar_t* source, const wchar_t* destination, IStreamProgress* progress) noexcept
{
    ov::unique_hfile in(::CreateFileW(source, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in)
        return static_cast<std::int32_t>(last_error_or());
    ov::unique_hfile out(::CreateFileW(destination, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out)
        return static_cast<std::int32_t>(last_error_or());
    ov::scope_exit remove_partial([&] {
        out.reset();
        ::DeleteFileW(destination);
    });

    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(in.get(), &size))
        return static_cast<std::int32_t>(last_error_or());
    const std::uint64_t total = static_cast<std::uint64_t>(size.QuadPart) / payload::inflate_block_size;

    // Counts the output blocks for the progress report.
    class block_counter final : public payload::byte_sink {
    public:
        block_counter(HANDLE file, IStreamProgress* progress, std::uint64_t total) noexcept
            : sink_(file), progress_(progress), total_(total)
        {
        }
        bool write(const std::uint8_t* data, std::size_t count) noexcept override
        {
            if (!sink_.write(data, count))
                return false;
            if (progress_) {
                try {
                    static_cast<void>(progress_->OnProgress(blocks_, total_));
                } catch (...) {
                }
            }
            ++blocks_;
            return true;
        }

    private:
        file_sink sink_;
        IStreamProgress* progress_;
        std::uint64_t total_;
        std::uint64_t blocks_ = 0;
    } sink(out.get(), progress, total);

    payload::inflater inflater;
    if (!inflater.init())
        return inflater.error();
    auto buffer = std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[payload::inflate_block_size]);
    if (!buffer)
        return payload::inflate_memory_error;
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(in.get(), buffer.get(), static_cast<DWORD>(payload::inflate_block_size), &got, nullptr))
            return static_cast<std::int32_t>(last_error_or());
        if (got == 0)
            return payload::inflate_data_error; // the source ended before the stream did
        const auto state = inflater.feed(buffer.get(), got, sink);
        if (state == payload::inflate_state::failed)
            return inflater.error();
        if (state == payload::inflate_state::finished)
            break;
    }
    if (!::CloseHandle(out.release()))
        return static_cast<std::int32_t>(last_error_or());
    remove_partial.dismiss();
    return payload::inflate_ok;
}

} // namespace ov

STREAM::STREAM(std::wstring_view path)
{
    try {
        path_.assign(path);
        const auto file = open_shared_for_reading(path_.c_str());
        if (!file) {
            last_error_ = ov::last_error_or();
            return;
        }
        open_ = true;
        file_source source(file.get());
        auto index = payload::locate_payload(source);
        start_ = index.start;
        items_.reserve(index.entries.size());
        for (auto& e : index.entries) {
            std::wstring name = from_ansi(e.record.name);
            items_.push_back(Item{std::move(e), std::move(name)});
        }
    } catch (const std::bad_alloc&) {
        items_.clear();
        last_error_ = ERROR_NOT_ENOUGH_MEMORY;
    }
}

STREAM::~STREAM() = default;

const STREAM::Item* STREAM::Find(std::wstring_view name) const noexcept
{
    for (const auto& item : items_) {
        if (ov::iequals(item.name, name))
            return &item;
    }
    return nullptr;
}

bool STREAM::HasEntry(std::wstring_view name) const noexcept
{
    return Find(name) != nullptr;
}

std::optional<payload::entry> STREAM::FindEntry(std::wstring_view name) const
{
    if (const Item* item = Find(name))
        return item->entry;
    return std::nullopt;
}

std::uint64_t STREAM::GetTotalSize() const noexcept
{
    std::uint64_t sum = 0;
    for (const auto& item : items_)
        sum += item.entry.record.size;
    return sum;
}

std::vector<std::wstring> STREAM::EntryNames() const
{
    std::vector<std::wstring> names;
    names.reserve(items_.size());
    for (const auto& item : items_)
        names.push_back(item.name);
    return names;
}

bool STREAM::Extract(const Item& item, std::wstring_view destination, IStreamProgress* progress) noexcept
{
    try {
        // A name with folders, "..", a drive or a device would let the payload
        // write outside the folder that the destination was built for.
        if (!payload::is_safe_entry_name(item.name)) {
            last_error_ = ERROR_INVALID_NAME;
            return false;
        }
        const std::wstring target(destination);
        if (target.empty()) {
            last_error_ = ERROR_INVALID_PARAMETER;
            return false;
        }
        // Reopened for every extraction (see the constructor's sharing).
        const auto in = open_shared_for_reading(path_.c_str());
        if (!in) {
            last_error_ = ov::last_error_or();
            return false;
        }
        ov::unique_hfile out(
            ::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) {
            last_error_ = ov::last_error_or();
            return false;
        }
        // A failed or cancelled extraction leaves nothing behind.
        ov::scope_exit remove_partial([&] {
            out.reset();
            ::DeleteFileW(target.c_str());
        });

        file_source source(in.get());
        file_sink sink(out.get());
        progress_adapter observer(progress, item.name);
        const auto result = payload::extract_entry(source, item.entry, sink, &observer);
        if (result != payload::extract_result::ok) {
            last_error_ = error_of(result, source, sink);
            return false;
        }
        if (!::CloseHandle(out.release())) {
            last_error_ = ov::last_error_or();
            return false;
        }
        remove_partial.dismiss();
        last_error_ = ERROR_SUCCESS;
        return true;
    } catch (const std::bad_alloc&) {
        last_error_ = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
}

bool STREAM::ExtractEntry(std::wstring_view name, std::wstring_view destination, IStreamProgress* progress) noexcept
{
    if (!open_)
        return false;
    const Item* item = Find(name);
    if (!item) {
        last_error_ = ERROR_FILE_NOT_FOUND;
        return false;
    }
    return Extract(*item, destination, progress);
}

bool STREAM::ExtractAll(DestinationCallback callback, void* context, IStreamProgress* progress) noexcept
{
    if (!open_ || items_.empty() || !callback)
        return false;
    // A payload with one unsafe name was not built by the authoring tool:
    // none of it is extracted.
    for (const auto& item : items_) {
        if (!payload::is_safe_entry_name(item.name)) {
            last_error_ = ERROR_INVALID_NAME;
            return false;
        }
    }
    try {
        for (const auto& item : items_) {
            std::wstring destination;
            callback(item.name, context, destination);
            if (destination.empty() || !Extract(item, destination, progress))
                break;
        }
    } catch (...) {
        last_error_ = ERROR_GEN_FAILURE;
        return false;
    }
    return true;
}
