// Caching the package in a lasting folder before it is installed, so that
// the Windows Installer finds its source later for repairs and maintenance.
#pragma once

#include <string>
#include <string_view>

class Session;

// Copies the package (and its language transform, launcher files and
// cabinets) to the cache folder. Answers true to go on, with `packagePath`
// naming the cached copy, or unchanged when nothing is cached; false to stop.
bool CachePackage(Session& session, std::wstring_view packageName, std::wstring& packagePath);

// Lets the user pick another folder; false in silent runs (SetupResult 1610)
// and when the user cancels.
bool ChooseCacheFolder(Session& session, std::wstring& target, std::wstring_view packageName);
