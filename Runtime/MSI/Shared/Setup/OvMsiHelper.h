// The handoff to the maker's script engine library "OVSetup.dll": loading it,
// checking its entry point and calling its two exports.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "ov_handles.h"

class SetupContext;

class OvMsiHelper {
public:
    explicit OvMsiHelper(const SetupContext& context) noexcept : context_(context) {}

    // Loads the library. On failure SetupResult becomes 1670, the failure is
    // reported, and false is answered.
    bool Load(std::wstring_view libraryPath);
    // True when the library is loaded and exports "RunOVMSRUdazi"; otherwise
    // SetupResult becomes 1670 and the failure is reported.
    bool CheckEntryPoint();

    // RunOVMSRUdazi: hands an installation (or its resumption) to the engine.
    [[nodiscard]] int RunEngine(bool noSource, std::wstring_view package, std::wstring_view commandLine,
                                unsigned language, std::wstring_view launcherName);
    // RunOVMSIMajorUpgradeRemoval; 0 when the library lacks that export.
    [[nodiscard]] int RunMajorUpgradeRemoval(std::wstring_view first, int second, int third, std::wstring_view fourth);

    [[nodiscard]] bool Loaded() const noexcept { return static_cast<bool>(library_); }

private:
    void ReportUnusable(DWORD error);

    const SetupContext& context_;
    std::wstring path_;
    ov::unique_hmodule library_;
};
