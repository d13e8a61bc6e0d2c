#include "osmatch.h"

#include "versions.h"

namespace {

constexpr wchar_t kEngineVersionNt4Sp3[] = L"1.20.1827.0";
constexpr wchar_t kEngineVersionWin2000Sp3[] = L"2.9.0.0";
// NT 4 needs at least Service Pack 3 for the oldest engines.
constexpr std::uint32_t kServicePack3 = 768;

constexpr std::uint16_t kArchitectureMips = 1;
constexpr std::uint16_t kArchitectureAlpha = 2;
constexpr std::uint16_t kArchitecturePowerPc = 3;

} // namespace

OsRecord MakeOsRecord(std::uint32_t platform, std::uint32_t major, std::uint32_t minor, std::uint32_t build,
                      std::uint16_t processorArchitecture) noexcept
{
    OsRecord r;
    r.platform = platform;
    r.major = major;
    r.minor = minor;
    r.build = build;
    switch (platform) {
    case kPlatformWin32s:
        r.kind = 7;
        break;
    case kPlatformWindows:
        r.kind = 1;
        r.modern = 1;
        r.build = build & 0xFFFFu;
        break;
    case kPlatformNt:
        r.kind = 2;
        if (processorArchitecture == kArchitectureMips)
            r.kind = 4;
        else if (processorArchitecture == kArchitectureAlpha)
            r.kind = 3;
        else if (processorArchitecture == kArchitecturePowerPc)
            r.kind = 5;
        r.modern = major > 3 ? 1 : 0;
        break;
    default:
        break;
    }
    return r;
}

bool check_service_pack(const OsMatchSource& source, std::wstring_view entry)
{
    std::uint32_t required = source.entryValue(entry, L"ServicePack");
    if (source.entryValue(entry, L"MajorVer") == 4 && CompareVersions(source.engineVersion, kEngineVersionNt4Sp3) >= 0)
        required = kServicePack3;
    if (required == 0)
        return true;
    std::uint32_t installed = 0;
    if (!source.servicePack(installed))
        return true;
    return installed >= required;
}

bool match_os_entry(const OsRecord& record, const OsMatchSource& source, std::wstring_view entry)
{
    if (source.entryValue(entry, L"MajorVer") != record.major)
        return false;
    if (source.entryValue(entry, L"MinorVer") > record.minor)
        return false;
    if (source.entryValue(entry, L"BuildNo") > record.build)
        return false;
    if (source.entryValue(entry, L"PlatformId") != record.platform)
        return false;
    if (!(record.minor < source.entryValue(entry, L"MinorVerMax")))
        return false;
    if (record.platform == kPlatformNt)
        return check_service_pack(source, entry);
    return true;
}

bool match_os_list(const OsRecord& record, const OsMatchSource& source, std::wstring_view list)
{
    std::vector<std::wstring> keys;
    if (!source.listKeys(list, keys))
        return false;
    for (const auto& entry : keys)
        if (match_os_entry(record, source, entry))
            return true;
    return false;
}

int UnsupportedSystemMessage(std::wstring_view engineVersion) noexcept
{
    if (CompareVersions(engineVersion, kEngineVersionNt4Sp3) >= 0)
        return 1648;
    if (CompareVersions(engineVersion, kEngineVersionWin2000Sp3) <= 0)
        return 1651;
    return 1150;
}
