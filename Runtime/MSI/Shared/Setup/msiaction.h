// The installer step: prepares what the installation needs (engine, package
// file, cache) and runs it through MSIEXEC.EXE or the billboard library, or
// opens a ClickOnce application instead.
#pragma once

#include <string>

#include "session.h"

class MsiAction : public Action {
public:
    explicit MsiAction(Session& session);
    [[nodiscard]] bool Execute() override;

    // Gets the package (and prerequisites) ready. `rebootNow` is set when a
    // restart must come before the installation.
    [[nodiscard]] bool PrepareInstall(std::wstring& packagePath, int& location, bool resolveSource, bool& rebootNow);
    [[nodiscard]] bool InstallMsi(const std::wstring& packagePath, bool rebootFirst);

    // 1 when a resume after a restart needs the temporary files.
    [[nodiscard]] int KeepFiles() const noexcept { return keep_files_; }

private:
    [[nodiscard]] int InstallStyle();
    [[nodiscard]] bool UseBillboards(const std::wstring& properties);
    [[nodiscard]] bool RunWithBillboards(const std::wstring& packagePath, const std::wstring& properties,
                                         bool& finished);
    void DeleteFreshTransforms(const FILETIME& start);

    int keep_files_ = 0;
    int script_driven_ = 0;
    int reboot_kind_ = 0;
};

// True when the package's template summary names a 64-bit platform.
[[nodiscard]] bool IsPackage64Bit(const std::wstring& packagePath);
