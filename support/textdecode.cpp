#include "textdecode.h"

namespace ov {

namespace {

constexpr std::string_view kBomUtf16le("\xFF\xFE", 2);
constexpr std::string_view kBomUtf16be("\xFE\xFF", 2);
constexpr std::string_view kBomUtf8("\xEF\xBB\xBF", 3);

constexpr std::uint32_t kReplacement = 0xFFFD;

std::uint8_t byte_at(std::string_view bytes, std::size_t i) noexcept
{
    return static_cast<std::uint8_t>(bytes[i]);
}

void append_code_point(std::wstring& out, std::uint32_t cp)
{
    if (cp < 0x10000) {
        out.push_back(static_cast<wchar_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// One UTF-16 code unit of a wchar_t (native wchar_t is 32 bits wide but holds
// code units only).
std::uint16_t unit(wchar_t c) noexcept
{
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(c) & 0xFFFF);
}

bool is_high_surrogate(std::uint16_t u) noexcept
{
    return u >= 0xD800 && u <= 0xDBFF;
}
bool is_low_surrogate(std::uint16_t u) noexcept
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

} // namespace

std::wstring latin1_decode(std::string_view bytes, std::int32_t)
{
    std::wstring out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes)
        out.push_back(static_cast<wchar_t>(c));
    return out;
}

std::string latin1_encode(std::wstring_view text, std::int32_t)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        const auto u = static_cast<std::uint32_t>(c);
        out.push_back(u <= 0xFF ? static_cast<char>(u) : '?');
    }
    return out;
}

byte_order_mark detect_byte_order_mark(std::string_view bytes) noexcept
{
    // UTF-8's mark is checked first only for clarity: the three marks cannot
    // be confused with each other.
    if (bytes.substr(0, kBomUtf8.size()) == kBomUtf8)
        return {code_page_utf8, kBomUtf8.size()};
    if (bytes.substr(0, kBomUtf16le.size()) == kBomUtf16le)
        return {code_page_utf16le, kBomUtf16le.size()};
    if (bytes.substr(0, kBomUtf16be.size()) == kBomUtf16be)
        return {code_page_utf16be, kBomUtf16be.size()};
    return {};
}

std::string_view byte_order_mark_bytes(std::int32_t code_page) noexcept
{
    switch (code_page) {
    case code_page_utf16le:
        return kBomUtf16le;
    case code_page_utf16be:
        return kBomUtf16be;
    case code_page_utf8:
        return kBomUtf8;
    default:
        return {};
    }
}

std::wstring decode_utf16le(std::string_view bytes)
{
    std::wstring out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        out.push_back(static_cast<wchar_t>(byte_at(bytes, i) | (byte_at(bytes, i + 1) << 8)));
    return out;
}

std::wstring decode_utf16be(std::string_view bytes)
{
    std::wstring out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        out.push_back(static_cast<wchar_t>((byte_at(bytes, i) << 8) | byte_at(bytes, i + 1)));
    return out;
}

std::wstring decode_utf8(std::string_view bytes)
{
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t b0 = byte_at(bytes, i);
        if (b0 < 0x80) {
            out.push_back(static_cast<wchar_t>(b0));
            ++i;
            continue;
        }
        // Expected length and the valid range of the second byte (Unicode
        // table 3-7), which rules out overlong forms, surrogates and values
        // above U+10FFFF.
        std::size_t length = 0;
        std::uint8_t lo = 0x80, hi = 0xBF;
        std::uint32_t cp = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            cp = b0 & 0x0F;
            if (b0 == 0xE0)
                lo = 0xA0;
            else if (b0 == 0xED)
                hi = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            cp = b0 & 0x07;
            if (b0 == 0xF0)
                lo = 0x90;
            else if (b0 == 0xF4)
                hi = 0x8F;
        } else {
            out.push_back(static_cast<wchar_t>(kReplacement));
            ++i;
            continue;
        }
        std::size_t taken = 1;
        bool complete = true;
        for (; taken < length; ++taken) {
            if (i + taken >= bytes.size()) {
                complete = false;
                break;
            }
            const std::uint8_t b = byte_at(bytes, i + taken);
            const std::uint8_t min = taken == 1 ? lo : 0x80;
            const std::uint8_t max = taken == 1 ? hi : 0xBF;
            if (b < min || b > max) {
                complete = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (complete)
            append_code_point(out, cp);
        else
            out.push_back(static_cast<wchar_t>(kReplacement));
        i += taken;
    }
    return out;
}

std::string encode_utf16le(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (wchar_t c : text) {
        const std::uint16_t u = unit(c);
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    }
    return out;
}

std::string encode_utf16be(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (wchar_t c : text) {
        const std::uint16_t u = unit(c);
        out.push_back(static_cast<char>(u >> 8));
        out.push_back(static_cast<char>(u & 0xFF));
    }
    return out;
}

std::string encode_utf8(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = unit(text[i]);
        if (is_high_surrogate(static_cast<std::uint16_t>(cp)) && i + 1 < text.size() &&
            is_low_surrogate(unit(text[i + 1]))) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(text[i + 1]) - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

decoded_text decode_text(std::string_view bytes, std::int32_t code_page, const multibyte_decoder& ansi_decoder)
{
    decoded_text result;
    if (code_page == code_page_detect) {
        const auto mark = detect_byte_order_mark(bytes);
        result.code_page = mark.code_page;
        result.had_bom = mark.length != 0;
        bytes.remove_prefix(mark.length);
    } else {
        result.code_page = code_page;
        const auto mark = byte_order_mark_bytes(code_page);
        if (!mark.empty() && bytes.substr(0, mark.size()) == mark) {
            result.had_bom = true;
            bytes.remove_prefix(mark.size());
        }
    }
    switch (result.code_page) {
    case code_page_utf16le:
        result.text = decode_utf16le(bytes);
        break;
    case code_page_utf16be:
        result.text = decode_utf16be(bytes);
        break;
    case code_page_utf8:
        result.text = decode_utf8(bytes);
        break;
    default:
        if (!bytes.empty())
            result.text = ansi_decoder ? ansi_decoder(bytes, result.code_page) : latin1_decode(bytes);
        break;
    }
    return result;
}

std::string encode_text(std::wstring_view text, std::int32_t code_page, bool with_bom,
                        const multibyte_encoder& ansi_encoder)
{
    if (code_page == code_page_detect)
        code_page = code_page_ansi;
    std::string out;
    if (with_bom)
        out.append(byte_order_mark_bytes(code_page));
    switch (code_page) {
    case code_page_utf16le:
        out.append(encode_utf16le(text));
        break;
    case code_page_utf16be:
        out.append(encode_utf16be(text));
        break;
    case code_page_utf8:
        out.append(encode_utf8(text));
        break;
    default:
        if (!text.empty())
            out.append(ansi_encoder ? ansi_encoder(text, code_page) : latin1_encode(text));
        break;
    }
    return out;
}

} // namespace ov
