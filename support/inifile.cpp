#include "inifile.h"

#include "ov_string.h"

#include <climits>
#include <new>

namespace ov {

namespace {

// Windows error codes this pure module reports (winerror.h values).
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorInvalidData = 13;
constexpr std::uint32_t kErrorInvalidName = 123;
constexpr std::uint32_t kErrorBusy = 170;

constexpr wchar_t kDefaultSeparator[] = L"=";
constexpr std::wstring_view kCrLf = L"\r\n";

std::uint32_t folded(wchar_t c) noexcept
{
    return static_cast<std::uint32_t>(char_traitsi::fold(c));
}

// Replaces "%d" ("%i", "%u") by the index, "%s" by the name and "%%" by "%";
// anything else is copied as it stands, so no pattern can misbehave.
std::wstring expand_pattern(std::wstring_view pattern, std::int64_t index, std::wstring_view name)
{
    std::wstring out;
    out.reserve(pattern.size() + 16);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != L'%' || i + 1 == pattern.size()) {
            out.push_back(pattern[i]);
            continue;
        }
        const wchar_t c = pattern[i + 1];
        if (c == L'd' || c == L'i' || c == L'u') {
            out.append(std::to_wstring(index));
            ++i;
        } else if (c == L's') {
            out.append(name);
            ++i;
        } else if (c == L'%') {
            out.push_back(L'%');
            ++i;
        } else {
            out.push_back(L'%');
        }
    }
    return out;
}

bool pattern_has_index(std::wstring_view pattern) noexcept
{
    for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != L'%')
            continue;
        const wchar_t c = pattern[i + 1];
        if (c == L'd' || c == L'i' || c == L'u')
            return true;
        if (c == L'%')
            ++i;
    }
    return false;
}

// Blanks, tabs and LFs; a CR is kept, as the private-profile reader does.
std::wstring_view trim_profile(std::wstring_view text) noexcept
{
    constexpr std::wstring_view blanks = L" \t\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::wstring_view::npos)
        return {};
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::int32_t clamp_to_int32(long value) noexcept
{
    // wcstol saturates at the 32-bit LONG range on Windows; keep that on
    // platforms whose long is wider.
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

} // namespace

// ---------------------------------------------------------------------------
// Case-insensitive comparison

int ascii_icompare(std::wstring_view a, std::wstring_view b) noexcept
{
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = folded(a[i]);
        const auto y = folded(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool ascii_iequals(std::wstring_view a, std::wstring_view b) noexcept
{
    return a.size() == b.size() && ascii_icompare(a, b) == 0;
}

bool ascii_istarts_with(std::wstring_view text, std::wstring_view prefix) noexcept
{
    return text.size() >= prefix.size() && ascii_icompare(text.substr(0, prefix.size()), prefix) == 0;
}

bool char_traitsi::lt(wchar_t a, wchar_t b) noexcept
{
    return folded(a) < folded(b);
}

int char_traitsi::compare(const wchar_t* a, const wchar_t* b, std::size_t n) noexcept
{
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = folded(a[i]);
        const auto y = folded(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

const wchar_t* char_traitsi::find(const wchar_t* s, std::size_t n, const wchar_t& c) noexcept
{
    for (std::size_t i = 0; i < n; ++i)
        if (eq(s[i], c))
            return s + i;
    return nullptr;
}

// ---------------------------------------------------------------------------
// inifilex

void inifilex::set_separator_text(std::wstring_view separator)
{
    // An empty separator would be found at the start of every line and split
    // nothing; the default is the only sensible reading of it.
    separator_ = separator.empty() ? std::wstring(kDefaultSeparator) : std::wstring(separator);
}

void inifilex::set_source(std::wstring_view file_name, std::wstring_view separator)
{
    file_name_ = file_name;
    set_separator_text(separator);
}

bool inifilex::load(std::wstring_view file_name, std::wstring_view separator, bool bare_keys) noexcept
{
    try {
        sections_.clear();
        bare_keys_ = bare_keys;
        set_separator_text(separator);
        file_name_ = file_name;
        std::string bytes;
        if (const auto error = storage_->read_file(file_name_, bytes)) {
            last_error_ = error;
            return false;
        }
        return load_bytes(bytes, separator, bare_keys);
    } catch (const std::bad_alloc&) {
        last_error_ = kErrorNotEnoughMemory;
    } catch (...) {
        last_error_ = kErrorInvalidData;
    }
    return false;
}

bool inifilex::load_bytes(std::string_view bytes, std::wstring_view separator, bool bare_keys) noexcept
{
    try {
        sections_.clear();
        bare_keys_ = bare_keys;
        set_separator_text(separator);
        const auto decoded =
            decode_text(bytes, code_page_given_ ? code_page_ : code_page_detect,
                        [this](std::string_view b, std::int32_t cp) { return storage_->decode(b, cp); });
        code_page_ = decoded.code_page;
        bom_ = decoded.had_bom;
        return parse(decoded.text);
    } catch (const std::bad_alloc&) {
        last_error_ = kErrorNotEnoughMemory;
    } catch (...) {
        last_error_ = kErrorInvalidData;
    }
    return false;
}

bool inifilex::parse(std::wstring_view text)
{
    // Only CR LF ends a line: a lone CR or LF stays inside it. Empty lines
    // are skipped, so it does not matter which empty pieces the split keeps.
    std::optional<std::size_t> current;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto end = text.find(kCrLf, pos);
        const auto line = end == std::wstring_view::npos ? text.substr(pos) : text.substr(pos, end - pos);
        pos = end == std::wstring_view::npos ? text.size() : end + kCrLf.size();

        if (line.empty() || line.front() == L';')
            continue;
        if (line.front() == L'[') {
            const auto close = line.find(L']');
            if (close == std::wstring_view::npos) {
                last_error_ = kErrorInvalidData;
                return false;
            }
            current = sections_.insert(line.substr(1, close - 1)).first;
            continue;
        }
        if (!current) {
            last_error_ = kErrorInvalidData;
            return false;
        }
        auto& section = sections_.at(*current).second;
        const auto separator = line.find(separator_);
        if (separator == std::wstring_view::npos) {
            section.insert(line);
        } else {
            // The value starts after the whole separator, so that a
            // multi-character separator reads back what save_as wrote.
            section.insert(line.substr(0, separator),
                           inifileentryx{std::wstring(line.substr(separator + separator_.size()))});
        }
    }
    modified_ = false;
    last_error_ = 0;
    return true;
}

bool inifilex::save(std::uint32_t flags, std::int32_t code_page, bool bom) noexcept
{
    return save_as(file_name_, flags, code_page, bom);
}

bool inifilex::save_as(std::wstring_view file_name, std::uint32_t flags, std::int32_t code_page, bool bom) noexcept
{
    if (saving_) {
        last_error_ = kErrorBusy;
        return false;
    }
    saving_ = true;
    std::wstring name;
    bool ok = false;
    try {
        name = file_name;
        if ((flags & save_skip_empty) && sections_.empty()) {
            ok = true;
        } else {
            if (flags & save_use_encoding) {
                set_code_page(code_page);
                bom_ = bom;
            }
            if (flags & save_sorted)
                sort_sections();
            if (name.empty()) {
                last_error_ = kErrorInvalidName;
            } else if (const auto error = storage_->write_file(name, save_to_bytes(), true)) {
                last_error_ = error;
            } else {
                modified_ = false;
                ok = true;
            }
        }
    } catch (const std::bad_alloc&) {
        last_error_ = kErrorNotEnoughMemory;
    } catch (...) {
        last_error_ = kErrorInvalidData;
    }
    if (!ok) {
        try {
            last_failed_file_ = name;
        } catch (...) {
        }
    }
    saving_ = false;
    return ok;
}

std::string inifilex::save_to_bytes() const
{
    std::wstring text;
    bool first = true;
    for (const auto& [name, section] : sections_) {
        if (!first)
            text.append(kCrLf);
        first = false;
        text.push_back(L'[');
        text.append(to_view(name));
        text.append(L"]\r\n");
        for (const auto& [key, entry] : section) {
            text.append(to_view(key));
            if (entry.value) {
                text.append(separator_);
                text.append(*entry.value);
            } else if (!bare_keys_) {
                text.append(separator_);
            }
            text.append(kCrLf);
        }
    }
    return encode_text(text, code_page_, bom_,
                       [this](std::wstring_view t, std::int32_t cp) { return storage_->encode(t, cp); });
}

void inifilex::set_separator(std::wstring_view separator)
{
    set_separator_text(separator);
}

std::wstring inifilex::get_separator() const
{
    return separator_;
}

std::wstring inifilex::get_file_name() const
{
    return file_name_;
}

void inifilex::import_section(std::wstring_view name, const inifilesectionx& section)
{
    // Copy first: `section` may belong to this document and move under us.
    const inifilesectionx copy = section;
    for (const auto& [key, entry] : copy)
        set_entry(name, to_view(key), entry.value);
    modified_ = true;
}

void inifilex::import_all(const inifilex& other, std::wstring_view name_pattern)
{
    const auto copy = other.sections_;
    std::int64_t index = 0;
    for (const auto& [name, section] : copy) {
        const auto target =
            name_pattern.empty() ? to_wstring(name) : expand_pattern(name_pattern, index, to_view(name));
        get_section(target);
        import_section(target, section);
        ++index;
    }
}

inifilesectionx& inifilex::get_section(std::wstring_view name)
{
    return sections_.at(sections_.insert(name).first).second;
}

bool inifilex::move_key(std::wstring_view section, std::wstring_view key, std::wstring_view after_key)
{
    auto* s = sections_.find(section);
    if (!s || !s->move_after(key, after_key))
        return false;
    modified_ = true;
    return true;
}

const inifileentryx* inifilex::find_entry(std::wstring_view section, std::wstring_view key) const
{
    const auto* s = sections_.find(section);
    return s ? s->find(key) : nullptr;
}

void inifilex::set_entry(std::wstring_view section, std::wstring_view key, std::optional<std::wstring> value)
{
    auto& s = get_section(section);
    s.at(s.insert(key).first).second.value = std::move(value);
    modified_ = true;
}

std::wstring inifilex::get_string(std::wstring_view section, std::wstring_view key,
                                  std::wstring_view default_value) const
{
    if (!has_key(section, key))
        return std::wstring(default_value);
    const auto* entry = find_entry(section, key);
    return entry->value.value_or(std::wstring());
}

void inifilex::set_string(std::wstring_view section, std::wstring_view key, std::wstring_view value)
{
    set_entry(section, key, std::wstring(value));
}

std::int32_t inifilex::get_int(std::wstring_view section, std::wstring_view key, std::int32_t default_value) const
{
    if (!has_key(section, key))
        return default_value;
    const auto* entry = find_entry(section, key);
    if (!entry->value || entry->value->empty())
        return default_value;
    const std::wstring_view text = *entry->value;
    if (text.size() >= 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
        return clamp_to_int32(parse_long(text.substr(2), 16));
    return clamp_to_int32(parse_long(text, 10));
}

void inifilex::set_int(std::wstring_view section, std::wstring_view key, std::int32_t value)
{
    set_string(section, key, std::to_wstring(value));
}

bool inifilex::get_bool(std::wstring_view section, std::wstring_view key, bool default_value) const
{
    if (!has_key(section, key))
        return default_value;
    const auto* entry = find_entry(section, key);
    if (!entry->value || entry->value->empty())
        return default_value;
    const std::wstring_view text = *entry->value;
    return ascii_iequals(text, L"Yes") || ascii_iequals(text, L"Y") || text == L"1" || ascii_iequals(text, L"True");
}

void inifilex::set_bool(std::wstring_view section, std::wstring_view key, bool value)
{
    set_string(section, key, value ? L"1" : L"0");
}

bool inifilex::is_modified() const
{
    return modified_;
}

void inifilex::set_modified(bool modified)
{
    modified_ = modified;
}

bool inifilex::has_section(std::wstring_view name) const
{
    return sections_.contains(name);
}

bool inifilex::has_key(std::wstring_view section, std::wstring_view key) const
{
    return find_entry(section, key) != nullptr;
}

void inifilex::get_keys(std::wstring_view section, std::vector<std::wstring>& list) const
{
    if (const auto* s = sections_.find(section))
        for (const auto& entry : *s)
            list.push_back(to_wstring(entry.first));
}

void inifilex::get_sections(std::vector<std::wstring>& list) const
{
    for (const auto& section : sections_)
        list.push_back(to_wstring(section.first));
}

std::size_t inifilex::get_sections_with_prefix(std::vector<std::wstring>& list, std::wstring_view prefix) const
{
    std::size_t count = 0;
    for (const auto& section : sections_) {
        if (ascii_istarts_with(to_view(section.first), prefix)) {
            list.push_back(to_wstring(section.first));
            ++count;
        }
    }
    return count;
}

void inifilex::get_numbered_values(std::wstring_view section, std::wstring_view key_pattern,
                                   std::vector<std::wstring>& list) const
{
    // Without an index in the pattern every n names the same key: read it once.
    const bool numbered = pattern_has_index(key_pattern);
    for (std::int64_t n = 0; n <= INT32_MAX; ++n) {
        const auto* entry = find_entry(section, expand_pattern(key_pattern, n, {}));
        if (entry)
            list.push_back(entry->value.value_or(std::wstring()));
        else if (n > 0)
            break;
        if (!numbered)
            break;
    }
}

bool inifilex::rename_section(std::wstring_view old_name, std::wstring_view new_name)
{
    if (!sections_.rename(old_name, new_name))
        return false;
    modified_ = true;
    return true;
}

bool inifilex::rename_key(std::wstring_view section, std::wstring_view old_key, std::wstring_view new_key)
{
    auto* s = sections_.find(section);
    if (!s || !s->rename(old_key, new_key))
        return false;
    modified_ = true;
    return true;
}

void inifilex::rename_sections_by_prefix(std::wstring_view prefix, std::wstring_view replacement)
{
    std::vector<std::wstring> names;
    get_sections_with_prefix(names, prefix);
    for (const auto& name : names) {
        std::wstring renamed(replacement);
        renamed.append(name, prefix.size(), std::wstring::npos);
        rename_section(name, renamed);
    }
}

bool inifilex::delete_section(std::wstring_view name)
{
    if (!sections_.erase(name))
        return false;
    modified_ = true;
    return true;
}

bool inifilex::delete_key(std::wstring_view section, std::wstring_view key)
{
    auto* s = sections_.find(section);
    if (!s || !s->erase(key))
        return false;
    modified_ = true;
    return true;
}

bool inifilex::clear_section(std::wstring_view name)
{
    auto* s = sections_.find(name);
    if (!s)
        return false;
    s->clear();
    modified_ = true;
    return true;
}

void inifilex::clear()
{
    sections_.clear();
    modified_ = true;
}

void inifilex::delete_sections_with_prefix(std::wstring_view prefix)
{
    std::vector<std::wstring> names;
    get_sections_with_prefix(names, prefix);
    for (const auto& name : names)
        delete_section(name);
}

void inifilex::sort_all()
{
    sort_sections();
    sort_all_keys();
}

void inifilex::sort_sections()
{
    sections_.sort_by_key();
}

void inifilex::sort_all_keys()
{
    for (auto& section : sections_)
        sort_keys(section.second);
}

void inifilex::sort_keys(inifilesectionx& section)
{
    section.sort_by_key();
}

void inifilex::sort_section(std::wstring_view name)
{
    sort_keys(get_section(name));
}

void inifilex::set_code_page(std::int32_t code_page)
{
    code_page_ = code_page;
    code_page_given_ = code_page != code_page_detect;
}

void inifilex::set_bom(bool bom)
{
    bom_ = bom;
}

std::uint32_t inifilex::get_last_error() const
{
    return last_error_;
}

std::wstring inifilex::get_last_failed_file() const
{
    return last_failed_file_;
}

std::wstring read_ini_string(const std::wstring& file, std::wstring_view section, std::wstring_view key,
                             std::wstring_view default_value, const ini_storage& storage)
{
    inifilex ini(storage);
    if (!ini.load(file, kDefaultSeparator, false))
        return std::wstring(default_value);
    return ini.get_string(section, key, default_value);
}

std::int32_t read_ini_int(const std::wstring& file, std::wstring_view section, std::wstring_view key,
                          std::int32_t default_value, const ini_storage& storage)
{
    inifilex ini(storage);
    if (!ini.load(file, kDefaultSeparator, false))
        return default_value;
    return ini.get_int(section, key, default_value);
}

// ---------------------------------------------------------------------------
// profilefilex

bool profilefilex::load(std::wstring_view file_name) noexcept
{
    try {
        file_name_ = file_name;
        table_.clear();
        std::string bytes;
        if (const auto error = storage_->read_file(file_name_, bytes)) {
            last_error_ = error;
            return false;
        }
        return load_bytes(bytes);
    } catch (const std::bad_alloc&) {
        last_error_ = kErrorNotEnoughMemory;
    } catch (...) {
        last_error_ = kErrorInvalidData;
    }
    return false;
}

bool profilefilex::load_bytes(std::string_view bytes) noexcept
{
    try {
        table_.clear();
        // The private-profile rule: UTF-16LE when the file starts with its
        // mark or has a zero byte within its first 1024 bytes, else ANSI. The
        // UTF-16BE and UTF-8 marks are honoured too: without them such a file
        // would be read as garbage (UTF-16BE) or lose the entries of its first
        // section behind a mangled header line (UTF-8).
        const auto head = bytes.substr(0, 1024);
        const auto mark = detect_byte_order_mark(head);
        std::wstring text;
        if (mark.code_page == code_page_utf16be) {
            text = decode_utf16be(bytes.substr(mark.length));
        } else if (mark.code_page == code_page_utf8) {
            text = decode_utf8(bytes.substr(mark.length));
        } else if (mark.code_page == code_page_utf16le || head.find('\0') != std::string_view::npos) {
            text = decode_utf16le(bytes);
            if (!text.empty() && text.front() == 0xFEFF)
                text.erase(0, 1);
        } else {
            // ANSI text ends at its first zero byte, as a C string would.
            const auto ansi = bytes.substr(0, bytes.find('\0'));
            if (!ansi.empty())
                text = storage_->decode(ansi, code_page_thread_ansi);
        }
        parse(text);
        last_error_ = 0;
        return true;
    } catch (const std::bad_alloc&) {
        last_error_ = kErrorNotEnoughMemory;
    } catch (...) {
        last_error_ = kErrorInvalidData;
    }
    return false;
}

void profilefilex::parse(std::wstring_view input)
{
    std::wstring text(input);
    if (!text.empty() && text.back() != L'\n')
        text.push_back(L'\n');
    // A line ends at the next CR LF when there is one anywhere ahead, else at
    // the next LF. Knowing where the last CR LF is keeps this linear.
    const auto last_crlf = text.rfind(kCrLf);
    key_map* current = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end;
        std::size_t next;
        if (last_crlf != std::wstring::npos && last_crlf >= pos) {
            end = text.find(kCrLf, pos);
            next = end + kCrLf.size();
        } else {
            end = text.find(L'\n', pos);
            next = end + 1;
        }
        const auto line = trim_profile(std::wstring_view(text).substr(pos, end - pos));
        pos = next;

        if (line.empty() || line.front() == L';')
            continue;
        if (line.front() == L'[') {
            const auto close = line.find(L']', 1);
            if (close != std::wstring_view::npos) {
                current = &table_[std::wstring(line.substr(1, close - 1))];
                continue;
            }
        }
        const auto equals = line.find(L'=');
        if (equals == std::wstring_view::npos || !current)
            continue;
        (*current)[std::wstring(trim_profile(line.substr(0, equals)))] = std::wstring(line.substr(equals + 1));
    }
}

bool profilefilex::get_string(const wchar_t* section, const wchar_t* key, const wchar_t* default_value, wchar_t* buffer,
                              std::size_t size) const noexcept
{
    if (!buffer || size == 0)
        return false;
    const auto copy_text = [&](std::wstring_view text) {
        const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
        text.copy(buffer, n);
        buffer[n] = L'\0';
    };
    const auto sec = section ? table_.find(std::wstring_view(section)) : table_.end();
    if (sec == table_.end()) {
        copy_text(default_value ? std::wstring_view(default_value) : std::wstring_view());
        return false;
    }
    if (!key) {
        // Each key ends with a zero and the list with one more; when the
        // list does not fit, the last key is cut and the list still ends with
        // two zeros, so a caller walking it never runs past the buffer.
        std::size_t pos = 0;
        const auto put = [&](wchar_t c) {
            if (pos < size)
                buffer[pos] = c;
            ++pos;
        };
        for (const auto& entry : sec->second) {
            for (wchar_t c : entry.first)
                put(c);
            put(L'\0');
        }
        if (sec->second.empty())
            put(L'\0');
        put(L'\0');
        if (pos > size) {
            if (size >= 2)
                buffer[size - 2] = L'\0';
            buffer[size - 1] = L'\0';
        }
        return true;
    }
    const auto entry = sec->second.find(std::wstring_view(key));
    copy_text(entry == sec->second.end() ? std::wstring_view() : std::wstring_view(entry->second));
    return true;
}

bool profilefilex::write_string(const wchar_t* section, const wchar_t* key, const wchar_t* value) noexcept
{
    if (!section)
        return false;
    try {
        if (!key) {
            const auto it = table_.find(std::wstring_view(section));
            if (it != table_.end())
                table_.erase(it);
            return true;
        }
        if (!value) {
            const auto it = table_.find(std::wstring_view(section));
            if (it != table_.end()) {
                const auto entry = it->second.find(std::wstring_view(key));
                if (entry != it->second.end())
                    it->second.erase(entry);
            }
            return true;
        }
        table_[section][key] = value;
        return true;
    } catch (...) {
        return false;
    }
}

std::string profilefilex::save_to_bytes() const
{
    std::wstring text;
    bool first = true;
    for (const auto& [name, keys] : table_) {
        if (!first)
            text.append(kCrLf);
        first = false;
        text.push_back(L'[');
        text.append(name);
        text.append(L"]\r\n");
        for (const auto& [key, value] : keys) {
            text.append(key);
            text.push_back(L'=');
            text.append(value);
            text.append(kCrLf);
        }
    }
    return encode_text(text, code_page_utf16le, true, nullptr);
}

bool profilefilex::save(std::wstring_view file_name) noexcept
{
    try {
        std::wstring name(file_name);
        if (name.empty()) {
            last_error_ = kErrorInvalidName;
            return false;
        }
        if (const auto error = storage_->write_file(name, save_to_bytes(), false)) {
            last_error_ = error;
            return false;
        }
        file_name_ = std::move(name);
        last_error_ = 0;
        return true;
    } catch (const std::bad_alloc&) {
        last_error_ = kErrorNotEnoughMemory;
    } catch (...) {
        last_error_ = kErrorInvalidData;
    }
    return false;
}

bool profilefilex::has_section(std::wstring_view section) const
{
    return table_.find(section) != table_.end();
}

std::vector<std::wstring> profilefilex::get_keys(std::wstring_view section) const
{
    std::vector<std::wstring> keys;
    const auto it = table_.find(section);
    if (it != table_.end())
        for (const auto& entry : it->second)
            keys.push_back(entry.first);
    return keys;
}

std::optional<std::wstring> profilefilex::get_value(std::wstring_view section, std::wstring_view key) const
{
    const auto it = table_.find(section);
    if (it == table_.end())
        return std::nullopt;
    const auto entry = it->second.find(key);
    if (entry == it->second.end())
        return std::nullopt;
    return entry->second;
}

} // namespace ov
