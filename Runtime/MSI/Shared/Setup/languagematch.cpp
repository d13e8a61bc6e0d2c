#include "languagematch.h"

#include "ov_format.h"

namespace {
constexpr std::uint16_t kPrimaryMask = 0x3FF;
constexpr std::uint16_t kSublanguageDefault = 0x400;
} // namespace

std::optional<std::uint16_t> MatchLanguage(const LanguageOffer& offer, std::uint16_t candidate) noexcept
{
    if (offer.supported.count(candidate))
        return candidate;
    if (offer.exactForAll)
        return std::nullopt;
    const std::uint16_t neutral = static_cast<std::uint16_t>((candidate & kPrimaryMask) | kSublanguageDefault);
    for (const std::uint16_t s : offer.supported)
        if (s == neutral && !offer.exact.count(s))
            return s;
    for (const std::uint16_t s : offer.supported)
        if (((s ^ candidate) & kPrimaryMask) == 0 && !offer.exact.count(s))
            return s;
    return std::nullopt;
}

std::wstring LanguageFileName(std::uint16_t language)
{
    return ov::format(L"0x%04x.ini", language);
}
