// Matching a candidate language against the languages a package offers.
// Pure logic.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

struct LanguageOffer {
    std::set<std::uint16_t> supported;
    std::set<std::uint16_t> exact;
    bool exactForAll = false;
};

// The offered language that stands for `candidate`: the candidate itself;
// else the primary language with sublanguage 1; else the first offered
// language of the same primary language. Languages that require an exact
// match (or all of them) take part only in the first test.
[[nodiscard]] std::optional<std::uint16_t> MatchLanguage(const LanguageOffer& offer, std::uint16_t candidate) noexcept;

// "0x%04x.ini": the language file of a language.
[[nodiscard]] std::wstring LanguageFileName(std::uint16_t language);
