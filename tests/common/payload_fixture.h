// Writes payload bytes directly from the documented layout, independently of
// the reader and of the authoring tool, so that tests check both against the
// format rather than against each other. Scrambling here is a plain reference
// implementation with the mask bytes written out.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace ov::test {

enum class scramble { none, whole, block };

struct fixture_entry {
    std::string name;
    std::vector<std::uint8_t> data; // plain bytes
    bool compress = false;
    scramble mode = scramble::none;
    std::optional<std::uint32_t> recorded_size; // a lying record
};

inline constexpr std::uint8_t reference_mask[4] = {0x3A, 0xC5, 0x7E, 0x91};

// Stored byte of plain byte p at unit position i: swap_nibbles(~(p ^ key[i % n])).
inline void reference_scramble(std::vector<std::uint8_t>& data, const std::string& name, bool block_mode)
{
    const std::size_t n = name.size();
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::size_t position = block_mode ? i % 1024 : i;
        const std::size_t k = position % n;
        const auto key = static_cast<std::uint8_t>(static_cast<std::uint8_t>(name[k]) ^ reference_mask[k % 4]);
        const auto t = static_cast<std::uint8_t>(~(data[i] ^ key));
        data[i] = static_cast<std::uint8_t>((t << 4) | (t >> 4));
    }
}

inline std::vector<std::uint8_t> zlib_compress(const std::vector<std::uint8_t>& plain)
{
    uLongf length = compressBound(static_cast<uLong>(plain.size()));
    std::vector<std::uint8_t> out(length);
    compress2(out.data(), &length, plain.data(), static_cast<uLong>(plain.size()), 6);
    out.resize(length);
    return out;
}

inline std::vector<std::uint8_t> stored_bytes(const fixture_entry& e)
{
    std::vector<std::uint8_t> stored = e.compress ? zlib_compress(e.data) : e.data;
    if (e.mode != scramble::none)
        reference_scramble(stored, e.name, e.mode == scramble::block);
    return stored;
}

// Header and entries; `signature` is written into the 14-byte field as is.
inline std::vector<std::uint8_t> make_payload(const std::vector<fixture_entry>& entries,
                                              const char* signature = "Orvane",
                                              std::optional<std::uint16_t> count = std::nullopt)
{
    std::vector<std::uint8_t> out(46, 0);
    std::memcpy(out.data(), signature, std::min<std::size_t>(std::strlen(signature), 14));
    const std::uint16_t n = count ? *count : static_cast<std::uint16_t>(entries.size());
    out[14] = static_cast<std::uint8_t>(n);
    out[15] = static_cast<std::uint8_t>(n >> 8);
    for (const auto& e : entries) {
        const std::vector<std::uint8_t> stored = stored_bytes(e);
        std::vector<std::uint8_t> record(312, 0);
        std::memcpy(record.data(), e.name.data(), std::min<std::size_t>(e.name.size(), 260));
        std::uint8_t flags = 0;
        if (e.mode != scramble::none)
            flags |= 2;
        if (e.mode == scramble::block)
            flags |= 4;
        record[260] = flags;
        const std::uint32_t size = e.recorded_size ? *e.recorded_size : static_cast<std::uint32_t>(stored.size());
        for (int i = 0; i < 4; ++i)
            record[268 + i] = static_cast<std::uint8_t>(size >> (8 * i));
        record[280] = e.compress ? 1 : 0;
        out.insert(out.end(), record.begin(), record.end());
        out.insert(out.end(), stored.begin(), stored.end());
    }
    return out;
}

inline std::vector<std::uint8_t> random_bytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint8_t> data(size);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(random());
    return data;
}

// Text-like bytes that compress well.
inline std::vector<std::uint8_t> text_bytes(std::size_t size, std::uint32_t seed)
{
    static const char* const words[] = {"setup ", "package ", "install ", "feature ", "product ", "Orvane ", "\r\n"};
    std::mt19937 random(seed);
    std::vector<std::uint8_t> data;
    data.reserve(size);
    while (data.size() < size) {
        const char* w = words[random() % 7];
        for (; *w && data.size() < size; ++w)
            data.push_back(static_cast<std::uint8_t>(*w));
    }
    return data;
}

} // namespace ov::test
