// The Windows Installer engine on this machine: the check against the
// version the package needs, the fetch of the redistributable that replaces
// it and its silent run. The decisions themselves are in enginecheck.h.
#pragma once

#include "enginecheck.h"

#include <string>
#include <string_view>

class Session;

// The file version of the Msi.DLL the system's library search finds
// ("a.b.c.d"); empty when there is none or it has no version resource.
[[nodiscard]] std::wstring InstalledEngineVersion();

// Compares the installed engine with `required` (the setting EngineVersion)
// and answers an EngineCheckResult. The positive answers and the
// SuppressWrongOS notice set SetupResult and report their message (1202,
// 1201, 1648/1651/1150, 1207), nothing shown when silent or automatic.
[[nodiscard]] int CheckEngine(Session& session, std::wstring_view required) noexcept;
// The same with the installed version given.
[[nodiscard]] int CheckEngine(Session& session, std::wstring_view required, std::wstring_view installed) noexcept;

// Gets the redistributable for this system and the required engine (after
// CheckEngine answered EngineInstall, in run mode 1): `path` receives its
// local path, `location` its location type. False with SetupResult 1154
// when it cannot be got; the setup dialog is then closed.
[[nodiscard]] bool FetchEngine(Session& session, std::wstring& path, int& location) noexcept;

// Runs the redistributable at `path` silently. Answers 0 when it succeeded
// (exit code 0, or 3010 with `restartKind` 1 or 2; for 2 the new engine's
// folder becomes the current directory), otherwise its exit code, with
// SetupResult 1156 and the code reported.
[[nodiscard]] int InstallEngine(Session& session, std::wstring_view path, int& restartKind) noexcept;
