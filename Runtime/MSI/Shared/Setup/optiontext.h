// The option text a setup run records for the script engine, and the part
// of it that is forwarded on the engine's own command line. Pure logic.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class OptionText {
public:
    // Records one option. With no name the value is appended unchanged.
    // `scriptDrivenWithEmbeddedUi` is [Startup] ScriptDriven == 3.
    void Add(std::optional<std::wstring_view> name, std::optional<std::wstring_view> value, bool forceQuote,
             bool scriptDrivenWithEmbeddedUi);

    [[nodiscard]] const std::wstring& Text() const noexcept { return text_; }
    [[nodiscard]] const std::wstring& EngineCommandLine() const noexcept { return engine_; }

private:
    std::wstring text_;
    std::wstring engine_;
};
