#include "entrymodes.h"

#include "commandline.h"
#include "ov_string.h"

LeadingForm GetLeadingForm(std::wstring_view raw) noexcept
{
    if (raw.size() < 2 || !IsOptionPrefix(raw[0]))
        return LeadingForm::None;
    switch (ov::fold_case(raw[1])) {
    case L'%':
        return LeadingForm::RunOnce;
    case L'K':
        return LeadingForm::StartCopy;
    case L'G':
        return LeadingForm::SignatureCheck;
    default:
        return LeadingForm::None;
    }
}

std::wstring RunOnceCommand(std::wstring_view raw)
{
    if (raw.size() < 2)
        return {};
    const auto slash = raw.find(L'/', 2);
    if (slash == std::wstring_view::npos)
        return {};
    std::wstring command = L"MSIEXEC.EXE ";
    command.append(raw.substr(slash));
    return command;
}

std::wstring StartCopyCommand(std::wstring_view argv0, std::wstring_view raw)
{
    std::wstring command(argv0);
    if (raw.size() > 2)
        command.append(raw.substr(2));
    return command;
}

std::optional<SignatureCheckArgs> ParseSignatureCheck(std::wstring_view raw)
{
    // "/g " then the file up to the blank before the next "/", then "/g" and
    // one more character, then the second argument. A line without a second
    // "/" (a dash form, or no certificate) still selects the check: the file
    // is the rest of the line and there is no certificate, so nothing can be
    // trusted.
    SignatureCheckArgs args;
    if (raw.size() < 4) {
        args.file.assign(raw.size() > 3 ? raw.substr(3) : std::wstring_view());
        return args;
    }
    const auto slash = raw.find(L'/', 3);
    if (slash == std::wstring_view::npos || slash < 4) {
        args.file.assign(raw.substr(3));
        return args;
    }
    args.file.assign(raw.substr(3, slash - 1 - 3));
    if (ov::iequals(raw.substr(slash), L"/s")) {
        // "/g <file> /s": silent, with no certificate to check against.
        args.silent = true;
        return args;
    }
    if (slash + 3 <= raw.size())
        args.second.assign(raw.substr(slash + 3));
    if (args.second.size() >= 2) {
        const std::wstring_view tail = std::wstring_view(args.second).substr(args.second.size() - 2);
        if (ov::iequals(tail, L"/s") || ov::iequals(tail, L"-s")) {
            args.silent = true;
            args.second.resize(args.second.size() - 2);
        }
    }
    return args;
}

std::optional<std::vector<std::wstring>> SplitMajorUpgradeValue(std::wstring_view value)
{
    auto pieces = ov::split(value, L';');
    if (pieces.size() == 3)
        pieces.emplace_back();
    if (pieces.size() != 4)
        return std::nullopt;
    return pieces;
}

bool StartsWithRelaunchOption(std::wstring_view raw) noexcept
{
    return raw.size() >= 2 && IsOptionPrefix(raw[0]) && ov::fold_case(raw[1]) == L'Q';
}
