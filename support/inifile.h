// The launcher's two INI readers and writers, with deliberately different
// rules (setup.ini is read through both, so its lines carry no blanks around
// the equals sign):
//  - inifilex: an INI document. Sections and entries stay in file order,
//    lookups ignore ASCII case, the first occurrence of a key wins, nothing
//    is trimmed, and the file is written back in its own encoding.
//  - profilefilex: an in-memory private-profile table with the calling
//    conventions of GetPrivateProfileString/WritePrivateProfileString: keys
//    trimmed, the last occurrence wins, written back whole as UTF-16LE.
// Pure logic: file access and the ANSI code page come through ini_storage, so
// both classes parse byte buffers in native tests and fuzzers.
#pragma once

#include "textdecode.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ov {

// ---------------------------------------------------------------------------
// File access for the INI classes.

class ini_storage {
public:
    virtual ~ini_storage() = default;

    // Reads the whole file into `bytes`. Answers 0 or a Windows error code.
    [[nodiscard]] virtual std::uint32_t read_file(const std::wstring& path, std::string& bytes) const noexcept = 0;
    // Replaces the file with `bytes` as a whole: the file holds either its old
    // or its new content, never a half-written one. With `create_folders`,
    // missing parent folders are created. Answers 0 or a Windows error code.
    [[nodiscard]] virtual std::uint32_t write_file(const std::wstring& path, std::string_view bytes,
                                                   bool create_folders) const noexcept = 0;
    // Conversions in a multi-byte code page (code_page_ansi: the system's).
    [[nodiscard]] virtual std::wstring decode(std::string_view bytes, std::int32_t code_page) const = 0;
    [[nodiscard]] virtual std::string encode(std::wstring_view text, std::int32_t code_page) const = 0;
};

// The platform's storage: local files (and later web addresses) through
// ov::file and the Windows code pages on Windows; std streams and Latin-1 in
// native builds. Defined by the platform layer, not by this library.
[[nodiscard]] const ini_storage& default_ini_storage() noexcept;

// INI files larger than this are refused (ERROR_FILE_TOO_LARGE): no real one
// comes near it, and a hostile one must not exhaust memory.
inline constexpr std::size_t max_ini_file_size = 64u * 1024u * 1024u;

// ---------------------------------------------------------------------------
// Case-insensitive keys.

// Compares like _wcsicmp in the C locale: A-Z fold to a-z, everything else
// compares by code unit; when the common length is equal the shorter sorts first.
[[nodiscard]] int ascii_icompare(std::wstring_view a, std::wstring_view b) noexcept;
[[nodiscard]] bool ascii_iequals(std::wstring_view a, std::wstring_view b) noexcept;
[[nodiscard]] bool ascii_istarts_with(std::wstring_view text, std::wstring_view prefix) noexcept;

struct ascii_iless {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept { return ascii_icompare(a, b) < 0; }
};

// Character traits whose comparisons and searches ignore ASCII case.
struct char_traitsi : std::char_traits<wchar_t> {
    static wchar_t fold(wchar_t c) noexcept { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }
    static bool eq(wchar_t a, wchar_t b) noexcept { return fold(a) == fold(b); }
    static bool lt(wchar_t a, wchar_t b) noexcept;
    static int compare(const wchar_t* a, const wchar_t* b, std::size_t n) noexcept;
    static const wchar_t* find(const wchar_t* s, std::size_t n, const wchar_t& c) noexcept;
};

// Wide text compared with the given traits (here: char_traitsi).
template <typename Traits>
using _stringx = std::basic_string<wchar_t, Traits>;
using istringx = _stringx<char_traitsi>;

[[nodiscard]] inline istringx to_istring(std::wstring_view text)
{
    return istringx(text.data(), text.size());
}
[[nodiscard]] inline std::wstring to_wstring(const istringx& text)
{
    return std::wstring(text.data(), text.size());
}
[[nodiscard]] inline std::wstring_view to_view(const istringx& text) noexcept
{
    return {text.data(), text.size()};
}

// An ordered container: (key, T) pairs in insertion order plus an index from
// key to position. Inserting a key that is present changes nothing and yields
// the existing element, so the first occurrence wins. Element references stay
// valid only until the next insertion or removal.
template <typename T>
class vector_map_i {
public:
    using key_type = istringx;
    using value_type = std::pair<key_type, T>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    // The element's position and whether it was inserted now.
    std::pair<std::size_t, bool> insert(std::wstring_view key, T value = T{})
    {
        auto k = to_istring(key);
        const auto it = index_.find(k);
        if (it != index_.end())
            return {it->second, false};
        items_.emplace_back(k, std::move(value));
        index_.emplace(std::move(k), items_.size() - 1);
        return {items_.size() - 1, true};
    }

    [[nodiscard]] std::optional<std::size_t> position(std::wstring_view key) const
    {
        const auto it = index_.find(to_istring(key));
        if (it == index_.end())
            return std::nullopt;
        return it->second;
    }
    [[nodiscard]] T* find(std::wstring_view key)
    {
        const auto pos = position(key);
        return pos ? &items_[*pos].second : nullptr;
    }
    [[nodiscard]] const T* find(std::wstring_view key) const
    {
        const auto pos = position(key);
        return pos ? &items_[*pos].second : nullptr;
    }
    [[nodiscard]] bool contains(std::wstring_view key) const { return position(key).has_value(); }

    bool erase(std::wstring_view key)
    {
        const auto pos = position(key);
        if (!pos)
            return false;
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(*pos));
        reindex();
        return true;
    }

    // Gives an element a new key: false when the keys are equal, the old one is
    // missing or the new one is taken.
    bool rename(std::wstring_view old_key, std::wstring_view new_key)
    {
        if (ascii_iequals(old_key, new_key))
            return false;
        const auto pos = position(old_key);
        if (!pos || contains(new_key))
            return false;
        items_[*pos].first = to_istring(new_key);
        reindex();
        return true;
    }

    // Moves an element to just after another one; both must exist.
    bool move_after(std::wstring_view key, std::wstring_view after)
    {
        const auto from = position(key);
        const auto to = position(after);
        if (!from || !to)
            return false;
        if (*from == *to)
            return true;
        value_type moved = std::move(items_[*from]);
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(*from));
        const std::size_t target = *to < *from ? *to + 1 : *to; // `after` shifted left when it followed
        items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(target), std::move(moved));
        reindex();
        return true;
    }

    // Orders the elements by key (stable, ASCII case ignored).
    void sort_by_key()
    {
        std::stable_sort(items_.begin(), items_.end(), [](const value_type& a, const value_type& b) {
            return ascii_icompare(to_view(a.first), to_view(b.first)) < 0;
        });
        reindex();
    }

    void clear() noexcept
    {
        items_.clear();
        index_.clear();
    }
    [[nodiscard]] std::size_t size() const noexcept { return items_.size(); }
    [[nodiscard]] bool empty() const noexcept { return items_.empty(); }
    [[nodiscard]] value_type& at(std::size_t pos) { return items_.at(pos); }
    [[nodiscard]] const value_type& at(std::size_t pos) const { return items_.at(pos); }
    iterator begin() noexcept { return items_.begin(); }
    iterator end() noexcept { return items_.end(); }
    const_iterator begin() const noexcept { return items_.begin(); }
    const_iterator end() const noexcept { return items_.end(); }

private:
    void reindex()
    {
        index_.clear();
        for (std::size_t i = 0; i < items_.size(); ++i)
            index_.emplace(items_[i].first, i);
    }

    std::vector<value_type> items_;
    std::map<key_type, std::size_t> index_; // key_type compares through char_traitsi
};

// ---------------------------------------------------------------------------
// inifilex

// An entry's value: absent when its line had no separator.
struct inifileentryx {
    std::optional<std::wstring> value;
};

using inifilesectionx = vector_map_i<inifileentryx>;

class inifilex {
public:
    // Flags of save/save_as.
    static constexpr std::uint32_t save_sorted = 1;       // sort_sections first
    static constexpr std::uint32_t save_skip_empty = 2;   // no section: write nothing, succeed
    static constexpr std::uint32_t save_use_encoding = 4; // take code page and mark from the arguments

    explicit inifilex(const ini_storage& storage = default_ini_storage()) noexcept : storage_(&storage) {}
    virtual ~inifilex() = default;
    inifilex(const inifilex&) = default;
    inifilex& operator=(const inifilex&) = default;

    virtual void set_source(std::wstring_view file_name, std::wstring_view separator);
    // Replaces the content with the file's. False when the file cannot be read
    // (get_last_error has the code), a "[" line has no "]", or an entry comes
    // before the first section; what was read up to then stays.
    [[nodiscard]] virtual bool load(std::wstring_view file_name, std::wstring_view separator = L"=",
                                    bool bare_keys = false) noexcept;
    [[nodiscard]] virtual bool save(std::uint32_t flags = 0, std::int32_t code_page = code_page_detect,
                                    bool bom = false) noexcept;
    [[nodiscard]] virtual bool save_as(std::wstring_view file_name, std::uint32_t flags = 0,
                                       std::int32_t code_page = code_page_detect, bool bom = false) noexcept;
    virtual void set_separator(std::wstring_view separator);
    [[nodiscard]] virtual std::wstring get_separator() const;
    [[nodiscard]] virtual std::wstring get_file_name() const;
    // set_string for every entry of `section` under `name` (absent values stay absent).
    virtual void import_section(std::wstring_view name, const inifilesectionx& section);
    // Imports every section of `other` under the name the pattern gives it:
    // "%d" is the section's position, "%s" its name, "%%" a percent sign; an
    // empty pattern keeps the name.
    virtual void import_all(const inifilex& other, std::wstring_view name_pattern);
    // Finds or appends the section. The reference lasts until sections change.
    virtual inifilesectionx& get_section(std::wstring_view name);
    virtual bool move_key(std::wstring_view section, std::wstring_view key, std::wstring_view after_key);
    [[nodiscard]] virtual std::wstring get_string(std::wstring_view section, std::wstring_view key,
                                                  std::wstring_view default_value = {}) const;
    virtual void set_string(std::wstring_view section, std::wstring_view key, std::wstring_view value);
    // 0x/0X: hexadecimal, else decimal, read like wcstol into 32 bits.
    [[nodiscard]] virtual std::int32_t get_int(std::wstring_view section, std::wstring_view key,
                                               std::int32_t default_value = 0) const;
    virtual void set_int(std::wstring_view section, std::wstring_view key, std::int32_t value);
    // Yes, Y, 1 and True (any case) are true, other text false.
    [[nodiscard]] virtual bool get_bool(std::wstring_view section, std::wstring_view key,
                                        bool default_value = false) const;
    virtual void set_bool(std::wstring_view section, std::wstring_view key, bool value);
    [[nodiscard]] virtual bool is_modified() const;
    virtual void set_modified(bool modified);
    [[nodiscard]] virtual bool has_section(std::wstring_view name) const;
    [[nodiscard]] virtual bool has_key(std::wstring_view section, std::wstring_view key) const;
    virtual void get_keys(std::wstring_view section, std::vector<std::wstring>& list) const;
    virtual void get_sections(std::vector<std::wstring>& list) const;
    virtual std::size_t get_sections_with_prefix(std::vector<std::wstring>& list, std::wstring_view prefix) const;
    // Values of the keys the pattern gives for n = 0, 1, 2...: "%d" is n (see
    // import_all). Stops at the first missing key after n = 0; a pattern
    // without "%d" names one key only.
    virtual void get_numbered_values(std::wstring_view section, std::wstring_view key_pattern,
                                     std::vector<std::wstring>& list) const;
    virtual bool rename_section(std::wstring_view old_name, std::wstring_view new_name);
    virtual bool rename_key(std::wstring_view section, std::wstring_view old_key, std::wstring_view new_key);
    virtual void rename_sections_by_prefix(std::wstring_view prefix, std::wstring_view replacement);
    virtual bool delete_section(std::wstring_view name);
    virtual bool delete_key(std::wstring_view section, std::wstring_view key);
    virtual bool clear_section(std::wstring_view name);
    virtual void clear();
    virtual void delete_sections_with_prefix(std::wstring_view prefix);
    virtual void sort_all();
    virtual void sort_sections();
    virtual void sort_all_keys();
    virtual void sort_keys(inifilesectionx& section);
    virtual void sort_section(std::wstring_view name);
    // code_page_detect lets the next load decide by the byte-order mark.
    virtual void set_code_page(std::int32_t code_page);
    virtual void set_bom(bool bom);
    [[nodiscard]] virtual std::uint32_t get_last_error() const;
    [[nodiscard]] virtual std::wstring get_last_failed_file() const;

    // The parsing half of load, on the file's bytes (no file name is stored).
    [[nodiscard]] bool load_bytes(std::string_view bytes, std::wstring_view separator = L"=",
                                  bool bare_keys = false) noexcept;
    // The file save_as would write, in the current code page and mark setting.
    [[nodiscard]] std::string save_to_bytes() const;

    [[nodiscard]] std::int32_t get_code_page() const noexcept { return code_page_; }
    [[nodiscard]] bool get_bom() const noexcept { return bom_; }
    [[nodiscard]] const vector_map_i<inifilesectionx>& sections() const noexcept { return sections_; }

private:
    bool parse(std::wstring_view text);
    void set_separator_text(std::wstring_view separator);
    void set_entry(std::wstring_view section, std::wstring_view key, std::optional<std::wstring> value);
    [[nodiscard]] const inifileentryx* find_entry(std::wstring_view section, std::wstring_view key) const;

    const ini_storage* storage_;
    vector_map_i<inifilesectionx> sections_;
    bool bare_keys_ = false;
    bool modified_ = false;
    std::wstring file_name_;
    std::wstring separator_ = L"=";
    bool saving_ = false;
    std::int32_t code_page_ = code_page_detect;
    // Set by set_code_page: a later load decodes in that code page. A code
    // page found by a load is only remembered for saving.
    bool code_page_given_ = false;
    bool bom_ = false;
    std::uint32_t last_error_ = 0;
    std::wstring last_failed_file_;
};

// One-shot reads: load the file with separator "=" and no bare keys; the
// default when the load fails.
[[nodiscard]] std::wstring read_ini_string(const std::wstring& file, std::wstring_view section, std::wstring_view key,
                                           std::wstring_view default_value,
                                           const ini_storage& storage = default_ini_storage());
[[nodiscard]] std::int32_t read_ini_int(const std::wstring& file, std::wstring_view section, std::wstring_view key,
                                        std::int32_t default_value, const ini_storage& storage = default_ini_storage());

// ---------------------------------------------------------------------------
// profilefilex

class profilefilex {
public:
    using key_map = std::map<std::wstring, std::wstring, ascii_iless>;
    using section_map = std::map<std::wstring, key_map, ascii_iless>;

    explicit profilefilex(const ini_storage& storage = default_ini_storage()) noexcept : storage_(&storage) {}

    // Remembers the name, empties the table and reads the file. False only
    // when the file cannot be read; malformed lines are skipped.
    [[nodiscard]] bool load(std::wstring_view file_name) noexcept;
    // The parsing half of load, on the file's bytes.
    [[nodiscard]] bool load_bytes(std::string_view bytes) noexcept;

    // GetPrivateProfileString conventions. `key` null: the section's keys,
    // each ended by a zero and the list by one more. A missing section yields
    // the default and false; a missing key of an existing section the empty
    // text and true. Output is cut to fit `size` characters, always ended by
    // its zero(s). No buffer or no room: false.
    [[nodiscard]] bool get_string(const wchar_t* section, const wchar_t* key, const wchar_t* default_value,
                                  wchar_t* buffer, std::size_t size) const noexcept;
    // WritePrivateProfileString conventions, in memory only: no key removes
    // the section, no value removes the key. False without a section.
    [[nodiscard]] bool write_string(const wchar_t* section, const wchar_t* key, const wchar_t* value) noexcept;
    // Writes the whole table as UTF-16LE with a byte-order mark.
    [[nodiscard]] bool save(std::wstring_view file_name) noexcept;
    void clear() noexcept { table_.clear(); }

    [[nodiscard]] std::string save_to_bytes() const;
    [[nodiscard]] bool has_section(std::wstring_view section) const;
    // The section's keys in key order (empty for a missing section).
    [[nodiscard]] std::vector<std::wstring> get_keys(std::wstring_view section) const;
    [[nodiscard]] std::optional<std::wstring> get_value(std::wstring_view section, std::wstring_view key) const;
    [[nodiscard]] const section_map& table() const noexcept { return table_; }
    [[nodiscard]] const std::wstring& file_name() const noexcept { return file_name_; }
    // Windows error code of the last failed load or save.
    [[nodiscard]] std::uint32_t last_error() const noexcept { return last_error_; }

private:
    void parse(std::wstring_view text);

    const ini_storage* storage_;
    section_map table_;
    std::wstring file_name_;
    std::uint32_t last_error_ = 0;
};

} // namespace ov
