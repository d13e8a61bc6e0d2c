// inifilex on arbitrary bytes: loading must never misbehave, every getter
// must answer, and a loaded document must survive writing and reading back
// (UTF-16LE with a mark) unchanged.
#include "inifile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

// No files: only the pure parser runs; ANSI is Latin-1.
class latin1_storage final : public ov::ini_storage {
public:
    std::uint32_t read_file(const std::wstring&, std::string&) const noexcept override { return 50; }
    std::uint32_t write_file(const std::wstring&, std::string_view, bool) const noexcept override { return 50; }
    std::wstring decode(std::string_view bytes, std::int32_t cp) const override { return ov::latin1_decode(bytes, cp); }
    std::string encode(std::wstring_view text, std::int32_t cp) const override { return ov::latin1_encode(text, cp); }
};

constexpr const wchar_t* kSeparators[] = {L"=", L":=", L"==", L" "};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    static const latin1_storage storage;
    // The first byte picks the separator and whether keys may stand alone.
    const auto* separator = kSeparators[data[0] & 3];
    const bool bare_keys = (data[0] & 4) != 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    ov::inifilex ini(storage);
    const bool loaded = ini.load_bytes(bytes, separator, bare_keys);

    std::vector<std::wstring> sections;
    ini.get_sections(sections);
    for (const auto& section : sections) {
        std::vector<std::wstring> keys, values;
        ini.get_keys(section, keys);
        for (const auto& key : keys) {
            if (!ini.has_key(section, key))
                __builtin_trap();
            (void)ini.get_string(section, key, L"d");
            (void)ini.get_int(section, key, 7);
            (void)ini.get_bool(section, key, true);
        }
        ini.get_numbered_values(section, keys.empty() ? L"%d" : keys.front() + L"%d", values);
    }
    if (!loaded)
        return 0;

    ini.set_code_page(ov::code_page_utf16le);
    ini.set_bom(true);
    const auto written = ini.save_to_bytes();
    ov::inifilex again(storage);
    if (!again.load_bytes(written, separator, bare_keys) || again.save_to_bytes() != written)
        __builtin_trap();

    // Editing keeps the document writable and readable.
    ini.sort_all();
    if (!sections.empty()) {
        (void)ini.rename_section(sections.front(), L"renamed");
        ini.rename_sections_by_prefix(sections.back().substr(0, 1), L"x");
        ini.import_all(again, L"copy%d_%s");
    }
    const auto edited = ini.save_to_bytes();
    ov::inifilex third(storage);
    if (!third.load_bytes(edited, separator, bare_keys) || third.save_to_bytes() != edited)
        __builtin_trap();
    return 0;
}
