// Matching the running system against the operating-system descriptions of
// setup.ini: a list section names entry sections, each entry section
// describes one system. Pure logic: the caller supplies the values.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The running system as the operating-system check records it.
struct OsRecord {
    std::uint32_t kind = 0;   // 1 Windows 95 family, 2 NT on Intel, 3 Alpha, 4 MIPS, 5 PowerPC, 7 Win32s
    std::uint32_t modern = 0; // Windows 95 family, or NT above 3
    std::uint32_t major = 0;  // 0 while no check has run
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::uint32_t platform = 0; // 0 Win32s, 1 Windows 95 family, 2 NT
};

// Platform ids and processor architectures as Windows reports them.
inline constexpr std::uint32_t kPlatformWin32s = 0;
inline constexpr std::uint32_t kPlatformWindows = 1;
inline constexpr std::uint32_t kPlatformNt = 2;

// Fills the record from the system's version answer and processor architecture.
[[nodiscard]] OsRecord MakeOsRecord(std::uint32_t platform, std::uint32_t major, std::uint32_t minor,
                                    std::uint32_t build, std::uint16_t processorArchitecture) noexcept;

// What the matcher needs to know beyond the record.
struct OsMatchSource {
    // An integer key of an entry section (base 10, default 0).
    std::function<std::uint32_t(std::wstring_view section, std::wstring_view key)> entryValue;
    // The keys of a list section in table order; false when the section is missing.
    std::function<bool(std::wstring_view section, std::vector<std::wstring>& keys)> listKeys;
    // CSDVersion of the system; false when its key cannot be opened.
    std::function<bool(std::uint32_t& csdVersion)> servicePack;
    // The required engine version (setting EngineVersion).
    std::wstring engineVersion;
};

[[nodiscard]] bool check_service_pack(const OsMatchSource& source, std::wstring_view entry);
[[nodiscard]] bool match_os_entry(const OsRecord& record, const OsMatchSource& source, std::wstring_view entry);
[[nodiscard]] bool match_os_list(const OsRecord& record, const OsMatchSource& source, std::wstring_view list);

// The incompatible-Windows message (and result) for a required engine version:
// 1648 up to 1.20.1827.0, 1651 from 2.9.0.0, 1150 otherwise.
[[nodiscard]] int UnsupportedSystemMessage(std::wstring_view engineVersion) noexcept;
