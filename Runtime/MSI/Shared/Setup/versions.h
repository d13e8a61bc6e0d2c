// Dotted version comparison used for engine, product and framework versions.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// Every character that is not a decimal digit separates numbers; the first
// four numbers are read (missing ones are 0) and compared from the first.
// Answers -1 when a is greater, 1 when b is greater, 0 when they are equal.
[[nodiscard]] int CompareVersions(std::wstring_view a, std::wstring_view b) noexcept;

// The four fields CompareVersions reads.
[[nodiscard]] std::array<std::uint32_t, 4> ParseVersion(std::wstring_view text) noexcept;
