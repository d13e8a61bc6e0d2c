// SetupContext: what the whole process knows about the setup being run,
// independent of a Session: the launcher's own path, the temporary folder,
// the setup language and its texts, the silent and automatic flags and the
// [Startup] values read once from setup.ini. One per process, owned by the
// entry.
#pragma once

#include <windows.h>

#include "inifile.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>

class SetupContext {
public:
    SetupContext(HINSTANCE instance, std::wstring launcherPath);
    SetupContext(const SetupContext&) = delete;
    SetupContext& operator=(const SetupContext&) = delete;

    [[nodiscard]] HINSTANCE Instance() const noexcept { return instance_; }
    [[nodiscard]] const std::wstring& LauncherPath() const noexcept { return launcherPath_; }
    // The folder of the launcher's path (the source folder).
    [[nodiscard]] const std::wstring& SourceFolder() const noexcept { return sourceFolder_; }

    [[nodiscard]] const std::wstring& TempFolder() const noexcept { return tempFolder_; }
    void SetTempFolder(std::wstring folder) { tempFolder_ = std::move(folder); }

    [[nodiscard]] const std::wstring& SetupIniPath() const noexcept { return setupIniPath_; }
    void SetSetupIniPath(std::wstring path) { setupIniPath_ = std::move(path); }

    // The setup language (a Windows language id); 0 until one is chosen.
    [[nodiscard]] std::uint16_t Language() const noexcept { return language_; }
    void SetLanguage(std::uint16_t language) noexcept { language_ = language; }
    // The language given on the command line ("/L"), 0 when none.
    [[nodiscard]] std::uint16_t CommandLineLanguage() const noexcept { return commandLineLanguage_; }
    void SetCommandLineLanguage(std::uint16_t language) noexcept { commandLineLanguage_ = language; }

    [[nodiscard]] bool Silent() const noexcept { return silent_; }
    void SetSilent(bool on) noexcept { silent_ = on; }
    [[nodiscard]] bool Automatic() const noexcept { return automatic_; }
    void SetAutomatic(bool on) noexcept { automatic_ = on; }
    // Neither silent nor automatic: message boxes may be shown.
    [[nodiscard]] bool Interactive() const noexcept { return !silent_ && !automatic_; }
    [[nodiscard]] bool ShowRebootMessage() const noexcept { return showRebootMessage_; }
    void SetShowRebootMessage(bool on) noexcept { showRebootMessage_ = on; }

    [[nodiscard]] const std::wstring& InstallGuid() const noexcept { return installGuid_; }
    void SetInstallGuid(std::wstring guid) { installGuid_ = std::move(guid); }
    [[nodiscard]] const std::wstring& ProductCode() const noexcept { return productCode_; }
    void SetProductCode(std::wstring code) { productCode_ = std::move(code); }
    [[nodiscard]] const std::wstring& ProductName() const noexcept { return productName_; }
    void SetProductName(std::wstring name) { productName_ = std::move(name); }
    [[nodiscard]] int ScriptDriven() const noexcept { return scriptDriven_; }
    void SetScriptDriven(int value) noexcept { scriptDriven_ = value; }
    [[nodiscard]] bool AllUsers() const noexcept { return allUsers_; }
    void SetAllUsers(bool on) noexcept { allUsers_ = on; }

    // Internal options collected from [Startup] cmdline that remain after the
    // launcher's own options were taken out.
    [[nodiscard]] const std::wstring& OptionText() const noexcept { return optionText_; }
    void AppendOptionText(std::wstring_view text);
    // Applies the launcher's internal options of a [Startup] CmdLine value and
    // answers what remains of it.
    [[nodiscard]] std::wstring ParseInternalOptions(std::wstring_view cmdline);

    // Languages the package offers (its [Languages] list); empty until read.
    [[nodiscard]] const std::set<std::uint16_t>& SupportedLanguages() const noexcept { return supported_; }
    void SetSupportedLanguages(std::set<std::uint16_t> languages) { supported_ = std::move(languages); }
    [[nodiscard]] bool IsRtlLanguage(std::uint16_t language) const noexcept { return rtl_.count(language) != 0; }

    // Reads [Startup] and [Languages] of the setup.ini path once (inifilex
    // rules). False when the file cannot be loaded; the fields then keep
    // their first values.
    bool ReadStartupSection();
    bool ReadLanguagesSection(const ov::inifilex* document = nullptr);
    [[nodiscard]] std::uint16_t DefaultLanguage() const noexcept { return defaultLanguage_; }
    [[nodiscard]] bool LanguageDialogEnabled() const noexcept { return languageDialog_; }
    [[nodiscard]] const std::set<std::uint16_t>& ExactMatchLanguages() const noexcept { return exact_; }
    [[nodiscard]] bool ExactMatchForAll() const noexcept { return exactAll_; }

    // Chooses the current language: the command-line language, the
    // preferred (installed product's) language, the user's, the system's and
    // the user-interface language, each when the package offers it (or a
    // close match); else the package default.
    void SelectLanguage(std::uint16_t preferred);
    // The language of the installed product's uninstall entry; 0 when none.
    [[nodiscard]] std::uint16_t InstalledLanguage() const;
    [[nodiscard]] bool MatchLanguage(std::uint16_t& language) const;
    [[nodiscard]] bool ShouldShowLanguageDialog() const;
    [[nodiscard]] std::wstring GetLanguageName(std::uint16_t language) const;
    [[nodiscard]] bool ExplicitlyChosen() const noexcept { return explicitlyChosen_; }
    [[nodiscard]] bool ChosenFromInstalledProduct() const noexcept { return fromInstalledProduct_; }
    // Full path of a language's file, beside setup.ini.
    [[nodiscard]] std::wstring LanguageFilePath(std::uint16_t language) const;

    // The text of a string id in the setup language: the language file's
    // entry when it has one, otherwise the launcher's built-in string.
    [[nodiscard]] std::wstring LoadString(unsigned id) const;

    // A standard message box captioned with the window title. When the run is
    // silent or automatic and bit 1 (2) of `flags` is clear, nothing is shown
    // and `defaultAnswer` is returned.
    int Ask(HWND owner, std::wstring_view text, UINT style, int defaultAnswer, unsigned flags = 0) const;

    // The title of every window and message box: "Orvane Wizard", or
    // "<product> - Orvane Wizard" when a product name is known and not `plain`.
    [[nodiscard]] std::wstring WindowTitle(bool plain = false) const;

private:
    HINSTANCE instance_;
    std::wstring launcherPath_;
    std::wstring sourceFolder_;
    std::wstring tempFolder_;
    std::wstring setupIniPath_;
    std::uint16_t language_ = 0;
    std::uint16_t commandLineLanguage_ = 0;
    bool silent_ = false;
    bool automatic_ = false;
    bool showRebootMessage_ = false;
    std::wstring installGuid_;
    std::wstring productCode_;
    std::wstring productName_;
    int scriptDriven_ = 4;
    bool allUsers_ = false;
    std::wstring optionText_;
    std::set<std::uint16_t> supported_;
    std::set<std::uint16_t> exact_;
    bool exactAll_ = false;
    std::set<std::uint16_t> rtl_;
    std::uint16_t defaultLanguage_ = 9;
    bool explicitlyChosen_ = false;
    bool fromInstalledProduct_ = false;
    // The current language's file, loaded on first use.
    mutable std::uint16_t loadedLanguage_ = 0;
    mutable std::wstring loadedLanguagePath_;
    mutable std::unique_ptr<ov::inifilex> languageFile_;
    bool languageDialog_ = false;
};

// The launcher's built-in string-table text for `id`, trying the resource
// languages `language`, `language | 0x400`, 0x400 and 0 in this order.
[[nodiscard]] std::wstring LoadBuiltinString(HINSTANCE instance, unsigned id, std::uint16_t language);

// The dialog font of a language: its file's [Properties] FontName and
// FontSize ("MS Sans Serif", 8 by default).
void get_language_font(const SetupContext& context, std::uint16_t language, std::wstring& face, int& size);
// The default ANSI code page of a language's locale; false when the system
// has no such locale.
[[nodiscard]] bool get_ansi_code_page(std::uint16_t language, unsigned& codePage);
[[nodiscard]] std::uint16_t get_system_ui_language();

// True when the user is an effective administrator: the access token lists
// the built-in Administrators group, and not for deny only.
[[nodiscard]] bool IsEffectiveAdministrator();
