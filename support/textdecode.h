// Text files as the launcher meets them: UTF-16LE, UTF-16BE or UTF-8 when
// they begin with a byte-order mark, otherwise text in a multi-byte code page
// (normally the system ANSI code page). Text is held as UTF-16 code units,
// one per wchar_t, also where wchar_t is wider (native builds).
// Pure logic: the code-page conversions that need Windows are handed in as
// functions, so parsing runs in native tests and fuzzers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ov {

// Code page numbers as Windows names them. `code_page_ansi` is the system
// ANSI code page (CP_ACP), `code_page_thread_ansi` the calling thread's
// (CP_THREAD_ACP); `code_page_detect` asks the reader to decide by the mark.
inline constexpr std::int32_t code_page_detect = -1;
inline constexpr std::int32_t code_page_ansi = 0;
inline constexpr std::int32_t code_page_thread_ansi = 3;
inline constexpr std::int32_t code_page_utf16le = 1200;
inline constexpr std::int32_t code_page_utf16be = 1201;
inline constexpr std::int32_t code_page_utf8 = 65001;

// Multi-byte <-> wide conversion in a given code page (0 = system ANSI).
// Windows supplies MultiByteToWideChar/WideCharToMultiByte; native builds
// and tests use Latin-1. They may throw (std::bad_alloc, std::length_error).
using multibyte_decoder = std::function<std::wstring(std::string_view bytes, std::int32_t code_page)>;
using multibyte_encoder = std::function<std::string(std::wstring_view text, std::int32_t code_page)>;

// Latin-1: each byte is one character; on encoding, characters above U+00FF
// become "?".
[[nodiscard]] std::wstring latin1_decode(std::string_view bytes, std::int32_t code_page = code_page_ansi);
[[nodiscard]] std::string latin1_encode(std::wstring_view text, std::int32_t code_page = code_page_ansi);

// The encoding announced by a byte-order mark at the start of `bytes`.
struct byte_order_mark {
    std::int32_t code_page = code_page_ansi; // code_page_ansi when there is no mark
    std::size_t length = 0;                  // bytes the mark takes, 0 when none
};
[[nodiscard]] byte_order_mark detect_byte_order_mark(std::string_view bytes) noexcept;

// The mark that starts a file in `code_page` (empty for code pages without one).
[[nodiscard]] std::string_view byte_order_mark_bytes(std::int32_t code_page) noexcept;

// Unicode decoders. An odd last byte of UTF-16 is dropped; malformed UTF-8
// becomes U+FFFD, one per maximal ill-formed subsequence.
[[nodiscard]] std::wstring decode_utf16le(std::string_view bytes);
[[nodiscard]] std::wstring decode_utf16be(std::string_view bytes);
[[nodiscard]] std::wstring decode_utf8(std::string_view bytes);

// Unicode encoders. A surrogate without its partner becomes U+FFFD in UTF-8.
[[nodiscard]] std::string encode_utf16le(std::wstring_view text);
[[nodiscard]] std::string encode_utf16be(std::wstring_view text);
[[nodiscard]] std::string encode_utf8(std::wstring_view text);

struct decoded_text {
    std::wstring text;
    std::int32_t code_page = code_page_ansi; // the encoding the text was read in
    bool had_bom = false;                    // the bytes began with that encoding's mark
};

// Decodes a whole file. With `code_page_detect` the mark decides (no mark:
// `ansi_decoder` with code_page_ansi); any other code page is used as given,
// and a mark of that very encoding at the start is skipped. The mark is never
// part of the text.
[[nodiscard]] decoded_text decode_text(std::string_view bytes, std::int32_t code_page,
                                       const multibyte_decoder& ansi_decoder);

// Encodes text for a file in `code_page`, with that code page's mark first
// when `with_bom` is set and the code page has one. code_page_detect and
// code_page_ansi both mean the system ANSI code page.
[[nodiscard]] std::string encode_text(std::wstring_view text, std::int32_t code_page, bool with_bom,
                                      const multibyte_encoder& ansi_encoder);

} // namespace ov
