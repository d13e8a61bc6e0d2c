// The disk action: prepares the temporary location, finds setup.ini (in the
// payload or beside the launcher), reads the package settings into the
// session and the context, and answers the disk-space questions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "inifile.h"
#include "session.h"

class DiskAction : public Action {
public:
    DiskAction(unsigned titleId, Session& session);
    [[nodiscard]] bool Execute() override;

    [[nodiscard]] bool ReadPackageSettings();
    [[nodiscard]] bool SelectEngineVersion();
    // The first folder with more than `neededKb` free that accepts a probe
    // file: the user's temporary folder, the Windows folder, then the roots
    // of fixed and of network drives.
    [[nodiscard]] static bool FindTempLocation(std::wstring& folder, std::uint64_t neededKb);

    // Forgets that the action ran (for a second session in one process).
    static void ResetDone() noexcept;
};

// Free kilobytes on the volume that holds `path` (2147483647 from 4 GB up).
[[nodiscard]] bool get_free_space_kb(std::wstring_view path, std::uint32_t& freeKb) noexcept;

// True when the folder's volume has the session's required space; otherwise
// reports message 1201 with the drive and sets the result to 1201.
[[nodiscard]] bool check_disk_space(Session& session, std::wstring_view folder);

// One value of setup.ini before a session exists: from the payload's
// setup.ini when the launcher carries one, else from the setup.ini in use or
// beside the launcher. Empty when absent; at most `size` - 1 characters.
[[nodiscard]] std::wstring ReadSetupIniValue(std::wstring_view section, std::wstring_view key, std::size_t size);

// The table ReadSetupIniValue reads (for several values: the file is
// extracted and read once), and one value of it.
[[nodiscard]] bool LoadLauncherSetupIni(ov::profilefilex& table);
[[nodiscard]] std::wstring ReadSetupIniValue(const ov::profilefilex& table, std::wstring_view section,
                                             std::wstring_view key, std::size_t size);
