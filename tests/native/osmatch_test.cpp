#include "osmatch.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// An in-memory setup.ini for the matcher.
struct FakeIni {
    std::map<std::wstring, std::map<std::wstring, std::uint32_t>> entries;
    std::map<std::wstring, std::vector<std::wstring>> lists;
    bool csdKey = true;
    std::uint32_t csd = 0;
    std::wstring engine = L"3.1.4000.2435";

    OsMatchSource source()
    {
        OsMatchSource s;
        s.entryValue = [this](std::wstring_view section, std::wstring_view key) -> std::uint32_t {
            const auto e = entries.find(std::wstring(section));
            if (e == entries.end())
                return 0;
            const auto k = e->second.find(std::wstring(key));
            return k == e->second.end() ? 0 : k->second;
        };
        s.listKeys = [this](std::wstring_view section, std::vector<std::wstring>& keys) {
            const auto l = lists.find(std::wstring(section));
            if (l == lists.end())
                return false;
            keys = l->second;
            return true;
        };
        s.servicePack = [this](std::uint32_t& value) {
            value = csd;
            return csdKey;
        };
        s.engineVersion = engine;
        return s;
    }
};

OsRecord nt(std::uint32_t major, std::uint32_t minor)
{
    return MakeOsRecord(kPlatformNt, major, minor, 2600, 0);
}

TEST(OsMatch, XpEntryMatchesOnlyXp)
{
    FakeIni ini;
    ini.entries[L"WinXP"] = {{L"MajorVer", 5}, {L"MinorVer", 1}, {L"MinorVerMax", 2}, {L"PlatformId", 2}};
    EXPECT_TRUE(match_os_entry(nt(5, 1), ini.source(), L"WinXP"));
    EXPECT_FALSE(match_os_entry(nt(5, 0), ini.source(), L"WinXP"));
    EXPECT_FALSE(match_os_entry(nt(5, 2), ini.source(), L"WinXP"));
    EXPECT_FALSE(match_os_entry(MakeOsRecord(kPlatformWindows, 5, 1, 2600, 0), ini.source(), L"WinXP"));

    ini.entries[L"WinXP"].erase(L"MinorVerMax");
    EXPECT_FALSE(match_os_entry(nt(5, 1), ini.source(), L"WinXP"));
}

TEST(OsMatch, Nt4ServicePackRules)
{
    FakeIni ini;
    ini.entries[L"NT4"] = {{L"MajorVer", 4}, {L"MinorVerMax", 1}, {L"PlatformId", 2}, {L"ServicePack", 1536}};
    ini.csd = 6 * 256;
    EXPECT_TRUE(match_os_entry(nt(4, 0), ini.source(), L"NT4"));
    ini.csd = 5 * 256;
    EXPECT_FALSE(match_os_entry(nt(4, 0), ini.source(), L"NT4"));
    // The oldest engines are content with Service Pack 3.
    ini.engine = L"1.20.1827.0";
    EXPECT_TRUE(match_os_entry(nt(4, 0), ini.source(), L"NT4"));
    ini.csd = 2 * 256;
    EXPECT_FALSE(match_os_entry(nt(4, 0), ini.source(), L"NT4"));
    // No way to read the service pack does not block.
    ini.csdKey = false;
    EXPECT_TRUE(match_os_entry(nt(4, 0), ini.source(), L"NT4"));
}

TEST(OsMatch, Windows98BuildKeepsLow16Bits)
{
    FakeIni ini;
    ini.entries[L"Win98"] = {
        {L"MajorVer", 4}, {L"MinorVer", 10}, {L"MinorVerMax", 11}, {L"PlatformId", 1}, {L"BuildNo", 2222}};
    const OsRecord se = MakeOsRecord(kPlatformWindows, 4, 10, 0x040A08AE, 0);
    EXPECT_EQ(se.build, 2222u);
    EXPECT_EQ(se.kind, 1u);
    EXPECT_TRUE(match_os_entry(se, ini.source(), L"Win98"));
}

TEST(OsMatch, ListTriesEntriesInOrderAndNeedsItsSection)
{
    FakeIni ini;
    ini.entries[L"Win2000"] = {{L"MajorVer", 5}, {L"MinorVer", 0}, {L"MinorVerMax", 1}, {L"PlatformId", 2}};
    ini.entries[L"WinXP"] = {{L"MajorVer", 5}, {L"MinorVer", 1}, {L"MinorVerMax", 2}, {L"PlatformId", 2}};
    ini.lists[L"SupportOS"] = {L"Win2000", L"WinXP"};
    EXPECT_TRUE(match_os_list(nt(5, 1), ini.source(), L"SupportOS"));
    EXPECT_FALSE(match_os_list(nt(6, 1), ini.source(), L"SupportOS"));
    EXPECT_FALSE(match_os_list(nt(5, 1), ini.source(), L"SupportOSMsi30"));
}

TEST(OsMatch, RecordKindsAndUnsupportedMessages)
{
    EXPECT_EQ(MakeOsRecord(kPlatformNt, 3, 51, 1057, 2).kind, 3u);
    EXPECT_EQ(MakeOsRecord(kPlatformNt, 3, 51, 1057, 2).modern, 0u);
    EXPECT_EQ(MakeOsRecord(kPlatformNt, 6, 1, 7601, 9).kind, 2u);
    EXPECT_EQ(MakeOsRecord(kPlatformNt, 6, 1, 7601, 9).modern, 1u);
    EXPECT_EQ(MakeOsRecord(kPlatformWin32s, 3, 1, 0, 0).kind, 7u);
    EXPECT_EQ(UnsupportedSystemMessage(L""), 1648);
    EXPECT_EQ(UnsupportedSystemMessage(L"1.20.1827.0"), 1648);
    EXPECT_EQ(UnsupportedSystemMessage(L"2.0.2600.0"), 1150);
    EXPECT_EQ(UnsupportedSystemMessage(L"2.9.0.0"), 1651);
    EXPECT_EQ(UnsupportedSystemMessage(L"4.5.6001.22159"), 1651);
}

} // namespace
