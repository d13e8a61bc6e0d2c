// Small, valid PE files for the payload tests, built byte by byte: a DOS
// header, the PE headers, a section table and zero-filled raw section data
// (file alignment 0x200). Tests then add debug data, a certificate table or a
// payload, or damage a field at a known offset.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ov::test {

struct test_section {
    std::string name;
    std::uint32_t virtual_address;
    std::uint32_t raw_size;
};

inline constexpr std::uint32_t pe_offset = 0x80;
inline constexpr std::uint32_t optional_offset = pe_offset + 24;
inline constexpr std::uint32_t pe_headers_size = 0x200;

inline void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint32_t get32(const std::vector<std::uint8_t>& b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

inline bool is_pe32plus(const std::vector<std::uint8_t>& pe)
{
    return pe[optional_offset] == 0x0B && pe[optional_offset + 1] == 0x02;
}

inline std::size_t directory_offset(const std::vector<std::uint8_t>& pe, int index)
{
    return optional_offset + (is_pe32plus(pe) ? 112 : 96) + 8 * static_cast<std::size_t>(index);
}

inline std::size_t section_table_offset(const std::vector<std::uint8_t>& pe)
{
    return optional_offset + (is_pe32plus(pe) ? 240 : 224);
}

// File offset of section `index`'s raw data.
inline std::uint32_t section_raw_offset(const std::vector<std::uint8_t>& pe, int index)
{
    return get32(pe, section_table_offset(pe) + 40 * static_cast<std::size_t>(index) + 20);
}

inline void set_directory(std::vector<std::uint8_t>& pe, int index, std::uint32_t address, std::uint32_t size)
{
    put32(pe, directory_offset(pe, index), address);
    put32(pe, directory_offset(pe, index) + 4, size);
}

inline std::vector<std::uint8_t> make_pe(bool pe32plus = false,
                                         std::vector<test_section> sections = {{".text", 0x1000, 0x200},
                                                                               {".rdata", 0x2000, 0x200}})
{
    const std::uint16_t optional_size = pe32plus ? 240 : 224;
    std::uint32_t file_size = pe_headers_size;
    for (const auto& s : sections)
        file_size += s.raw_size;
    std::vector<std::uint8_t> b(file_size, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, pe_offset);
    std::memcpy(&b[0x40], "This program cannot be run in DOS mode.", 39);
    std::memcpy(&b[pe_offset], "PE\0\0", 4);
    put16(b, pe_offset + 4, pe32plus ? 0x8664 : 0x014C);
    put16(b, pe_offset + 6, static_cast<std::uint16_t>(sections.size()));
    put16(b, pe_offset + 20, optional_size);
    put16(b, pe_offset + 22, pe32plus ? 0x0022 : 0x0102);
    const std::size_t o = optional_offset;
    put16(b, o, pe32plus ? 0x020B : 0x010B);
    put32(b, o + 16, 0x1000); // entry point
    put32(b, o + 20, 0x1000); // base of code
    if (pe32plus) {
        put32(b, o + 24, 0x40000000u);
        put32(b, o + 28, 0x1);
    } else {
        put32(b, o + 28, 0x400000);
    }
    put32(b, o + 32, 0x1000); // section alignment
    put32(b, o + 36, 0x200);  // file alignment
    put16(b, o + 40, 6);      // operating system version
    put16(b, o + 48, 6);      // subsystem version
    std::uint32_t image_size = 0x1000;
    for (const auto& s : sections)
        image_size = std::max(image_size, s.virtual_address + ((s.raw_size + 0xFFF) & ~0xFFFu));
    put32(b, o + 56, image_size);
    put32(b, o + 60, pe_headers_size);
    put16(b, o + 68, 2); // Windows GUI
    put16(b, o + 70, 0x8140);
    put32(b, o + 72, 0x100000); // stack reserve
    put32(b, o + (pe32plus ? 80 : 76), 0x1000);
    put32(b, o + (pe32plus ? 88 : 80), 0x100000);
    put32(b, o + (pe32plus ? 96 : 84), 0x1000);
    put32(b, o + (pe32plus ? 108 : 92), 16); // data directories
    std::size_t table = section_table_offset(b);
    std::uint32_t raw = pe_headers_size;
    for (const auto& s : sections) {
        std::memcpy(&b[table], s.name.data(), std::min<std::size_t>(s.name.size(), 8));
        put32(b, table + 8, s.raw_size);
        put32(b, table + 12, s.virtual_address);
        put32(b, table + 16, s.raw_size);
        put32(b, table + 20, raw);
        put32(b, table + 36, 0x40000040); // initialised data, readable
        raw += s.raw_size;
        table += 40;
    }
    return b;
}

// Appends a certificate table of `size` bytes (a multiple of 8) and points
// data directory 4 at it, as a signing tool does.
inline void append_certificate(std::vector<std::uint8_t>& pe, std::uint32_t size)
{
    const auto at = static_cast<std::uint32_t>(pe.size());
    pe.resize(pe.size() + size, 0xC3);
    put32(pe, at, size);       // dwLength
    put16(pe, at + 4, 0x0200); // WIN_CERT_REVISION_2_0
    put16(pe, at + 6, 0x0002); // WIN_CERT_TYPE_PKCS_SIGNED_DATA
    set_directory(pe, 4, at, size);
}

} // namespace ov::test
