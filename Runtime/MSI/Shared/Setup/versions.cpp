#include "versions.h"

std::array<std::uint32_t, 4> ParseVersion(std::wstring_view text) noexcept
{
    // Non-digits only separate: the fields are the runs of digits, in order,
    // so "v2.0.50727" reads as 2.0.50727.
    std::array<std::uint32_t, 4> fields{};
    size_t field = 0;
    bool in_number = false;
    for (const wchar_t c : text) {
        if (c >= L'0' && c <= L'9') {
            in_number = true;
            const std::uint64_t next = std::uint64_t{fields[field]} * 10 + static_cast<std::uint32_t>(c - L'0');
            fields[field] = next > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(next);
        } else if (in_number) {
            in_number = false;
            if (++field >= fields.size())
                break;
        }
    }
    return fields;
}

int CompareVersions(std::wstring_view a, std::wstring_view b) noexcept
{
    const auto va = ParseVersion(a);
    const auto vb = ParseVersion(b);
    for (size_t i = 0; i < va.size(); ++i) {
        if (va[i] > vb[i])
            return -1;
        if (va[i] < vb[i])
            return 1;
    }
    return 0;
}
