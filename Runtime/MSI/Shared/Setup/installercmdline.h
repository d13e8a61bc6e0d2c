// The text handed to the Windows Installer: the property string (public
// properties and switches) and the MSIEXEC.EXE command line of each install
// mode. Pure logic.
#pragma once

#include <string>
#include <string_view>

// The installer program; the system's search rules find it.
inline constexpr wchar_t kInstallerProgram[] = L"MSIEXEC.EXE";

// Adds transform `transform` to the TRANSFORMS property inside `properties`,
// in place: appended as a new quoted property when there is none, inserted
// into an empty value, appended after the last ".mst" with ";" otherwise, and
// left alone when the transform's file name is already listed.
void AddTransform(std::wstring_view transform, std::wstring& properties);

struct PropertyInputs {
    std::wstring cmdLine;          // setting CmdLine
    bool severalLanguages = false; // the setup offers more than one language
    bool quietStart = false;
    int installMode = 0;
    std::wstring languageTransform; // setting LanguageTransform
    std::wstring launcherPath;
    bool usesScript = false; // [Startup] ScriptDriven is 1, 2 or 3
    std::wstring engineCommandLine;
    bool rebootFirst = false;
};

struct PropertyString {
    std::wstring text;
    // SETUPEXEDIR="..." SETUPEXENAME="..." (empty when a restart comes first);
    // the caller records it as a "/v" option for the script engine.
    std::wstring launcherProperties;
};

[[nodiscard]] PropertyString BuildPropertyString(const PropertyInputs& in);

// The MSIEXEC.EXE command line for an install mode; `modeFlags` follows /f and /j.
[[nodiscard]] std::wstring BuildCommandLine(int installMode, std::wstring_view modeFlags, std::wstring_view packagePath,
                                            std::wstring_view properties);
