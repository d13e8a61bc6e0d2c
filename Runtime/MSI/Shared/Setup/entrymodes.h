// Decisions the entry makes from its raw command line before any setup
// object exists: which leading form was given and what it runs. Pure logic.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class LeadingForm { None, RunOnce, StartCopy, SignatureCheck };

// The form selected by the first two characters ("/%", "/k", "/g", either
// prefix, letters in either case). Only consulted when argc >= 2.
[[nodiscard]] LeadingForm GetLeadingForm(std::wstring_view rawCommandLine) noexcept;

// "/% ... /I {GUID} X=1": "MSIEXEC.EXE" and the text from the first "/" after
// the two leading characters. Empty when there is no such "/".
[[nodiscard]] std::wstring RunOnceCommand(std::wstring_view rawCommandLine);

// "/k /s" started from argv[0]: argv[0] immediately followed by the raw
// command line from its third character.
[[nodiscard]] std::wstring StartCopyCommand(std::wstring_view argv0, std::wstring_view rawCommandLine);

struct SignatureCheckArgs {
    std::wstring file;
    std::wstring second;
    bool silent = false;
};
// "/g <file> /g <second>[ /s]" as written by the download code. A line
// without the second part gives the file alone (nothing to check against).
[[nodiscard]] std::optional<SignatureCheckArgs> ParseSignatureCheck(std::wstring_view rawCommandLine);

// The four pieces of a "removeasmajorupgrade" value, or nothing when it does
// not have three or four ";"-separated pieces.
[[nodiscard]] std::optional<std::vector<std::wstring>> SplitMajorUpgradeValue(std::wstring_view value);

// True when the raw command line starts with "/q" or "-q" (a relaunched
// copy); the source launcher path is then argv[1] from its third character.
[[nodiscard]] bool StartsWithRelaunchOption(std::wstring_view rawCommandLine) noexcept;
