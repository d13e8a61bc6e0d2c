// Process-wide values of the launcher. One instance each, created before
// anything else runs and owned by the entry for the whole process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

class SetupContext;

struct ProcessState {
    // The launcher's result: the exit code of the ordinary run. Any step that
    // fails stores its code here.
    std::int32_t SetupResult = 0;
    // The working temporary folder: no trailing backslash, no quotes.
    std::wstring TempFolder;
    // Full path of the setup.ini in use.
    std::wstring SetupIniPath;
    // The temp-disk-1 folder as the session last set it.
    std::wstring TempDisk1Folder;
    // The launcher's instance handle (an HINSTANCE).
    void* Instance = nullptr;
    // Lets code without a session reach the context.
    SetupContext* Context = nullptr;
    // Set by Cancel in the setup dialog; long steps poll it.
    std::atomic<bool> Cancelled{false};
};

// The one instance.
ProcessState& Process() noexcept;

// The largest temporary folder path the launcher accepts, in characters.
inline constexpr std::size_t kMaxTempFolder = 1024;
