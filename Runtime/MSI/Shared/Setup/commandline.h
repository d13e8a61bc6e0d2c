// The launcher's two command-line readers.
//  - CommandLineScanner finds internal options by name anywhere in a raw
//    command line (or in a [Startup] CmdLine value, or an uninstall string).
//  - CommandLineInfo walks the argument vector of the platform splitter and
//    hands each user option to a callback (ParseUserOption, useroptions.h).
// Pure logic: no Windows headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CommandLineScanner {
public:
    explicit CommandLineScanner(std::wstring_view text);

    // Finds the first token "-name..." or "/name..." (name matched as a
    // case-insensitive prefix). With `exact`, a token with text after the name
    // does not qualify. On success hands the text after the name to `value`
    // (when given) and marks the token's used entry with `consume`.
    [[nodiscard]] bool GetOption(std::wstring_view name, std::wstring* value, bool exact, bool consume);

    // The tokens not consumed, joined by one blank.
    [[nodiscard]] std::wstring Remaining() const;

    [[nodiscard]] const std::vector<std::wstring>& Tokens() const noexcept { return tokens_; }

private:
    std::wstring text_;
    std::vector<std::wstring> tokens_;
    std::vector<std::int32_t> used_;
};

class CommandLineInfo {
public:
    using Callback = bool (*)(void* context, std::wstring_view option);

    CommandLineInfo(int argc, const wchar_t* const* argv) noexcept : argc_(argc), argv_(argv) {}
    virtual ~CommandLineInfo() = default;

    // Hands argv[1..] without their "-" or "/" to the callback, in order.
    // An argument that is not an option calls `on_invalid` and answers false.
    [[nodiscard]] bool ParseAll(Callback callback, void* context, void (*on_invalid)(void* context));

private:
    int argc_;
    const wchar_t* const* argv_;
};

// True when the text begins with "-" or "/".
[[nodiscard]] constexpr bool IsOptionPrefix(wchar_t c) noexcept
{
    return c == L'-' || c == L'/';
}
