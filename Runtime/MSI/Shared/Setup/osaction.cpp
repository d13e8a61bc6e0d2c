#include "osaction.h"

#include "ov_handles.h"
#include "resource.h"
#include "setuplog.h"

#include <windows.h>

namespace {

OsMatchSource make_source(Session& session)
{
    OsMatchSource source;
    source.entryValue = [&session](std::wstring_view section, std::wstring_view key) {
        return static_cast<std::uint32_t>(session.ReadIniInt(section, key, 0, 10));
    };
    source.listKeys = [&session](std::wstring_view section, std::vector<std::wstring>& keys) {
        const auto& table = session.SetupIniTable();
        if (!table.has_section(section))
            return false;
        keys = table.get_keys(section);
        return true;
    };
    source.servicePack = [](std::uint32_t& csdVersion) {
        ov::unique_hkey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Windows", 0, KEY_READ,
                            key.put()) != ERROR_SUCCESS)
            return false;
        DWORD value = 0, size = sizeof value, type = 0;
        csdVersion = 0;
        if (::RegQueryValueExW(key.get(), L"CSDVersion", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
                ERROR_SUCCESS &&
            type == REG_DWORD)
            csdVersion = value;
        return true;
    };
    source.engineVersion = session.Get(EngineVersion);
    return source;
}

} // namespace

OSAction::OSAction(Session& session) : Action(IDS_CHECKING_OS, session) {}

bool OSAction::Execute()
{
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
        version = {};
        version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        (void)::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    }
#pragma GCC diagnostic pop
    SYSTEM_INFO system = {};
    ::GetSystemInfo(&system);
    const OsRecord& os = session_.State().os =
        MakeOsRecord(version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
                     system.wProcessorArchitecture);
    log_message(OV_HERE, L"Operating system: platform %u, version %u.%u, build %u, service pack %u, kind %u",
                os.platform, os.major, os.minor, os.build, static_cast<unsigned>(version.wServicePackMajor), os.kind);
    return true;
}

bool match_os_list(Session& session, std::wstring_view list)
{
    return match_os_list(session.State().os, make_source(session), list);
}

bool match_os_entry(Session& session, std::wstring_view entry)
{
    return match_os_entry(session.State().os, make_source(session), entry);
}

bool is_64bit_windows() noexcept
{
    SYSTEM_INFO system = {};
    using NativeInfoFn = void(WINAPI*)(SYSTEM_INFO*);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto native =
        kernel
            ? reinterpret_cast<NativeInfoFn>(reinterpret_cast<void*>(::GetProcAddress(kernel, "GetNativeSystemInfo")))
            : nullptr;
    if (native)
        native(&system);
    else
        ::GetSystemInfo(&system);
    return system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64 ||
           system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}
