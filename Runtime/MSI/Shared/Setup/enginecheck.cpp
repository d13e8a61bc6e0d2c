#include "enginecheck.h"

#include "ov_format.h"
#include "versions.h"

namespace {

constexpr std::uint32_t kKindWindows9x = 1;
constexpr std::uint32_t kKindNtIntel = 2;

// String-table ids are 16-bit: a larger code (or a negative one) must not
// alias the id of its low bits.
constexpr int kLargestStringId = 0xFFFF;

bool is_nt4(const OsRecord& os) noexcept
{
    return os.platform == kPlatformNt && os.major == 4;
}

} // namespace

bool VersionAtLeast(std::wstring_view a, std::wstring_view b) noexcept
{
    return CompareVersions(a, b) <= 0;
}

EngineDecision DecideEngineCheck(const EngineFacts& facts)
{
    EngineDecision decision;
    if (VersionAtLeast(facts.installed, facts.required)) {
        decision.result = EngineUpToDate;
        return decision;
    }

    const bool engine3 = VersionAtLeast(facts.required, kEngine3);
    if (engine3) {
        // 64-bit Windows and Windows Server 2003 with a service pack carry a
        // 3.x engine of their own that no redistributable replaces.
        if (facts.is64bitWindows) {
            decision.result = EngineKept;
            return decision;
        }
        if (facts.os.major == 5 && facts.os.minor > 1 && facts.servicePackMajor != 0) {
            decision.result = EngineKept;
            return decision;
        }
        decision.list = kEngineListMsi30;
    } else {
        decision.list = VersionAtLeast(kEngineMsi12Limit, facts.required) ? kEngineListMsi12 : kEngineList;
    }

    if (facts.matchList && facts.matchList(decision.list)) {
        // The 9x redistributable needs neither rights nor a check of the disks.
        if (facts.os.kind != kKindNtIntel) {
            decision.result = EngineInstall;
            return decision;
        }
        if (!facts.administrator || !facts.administrator()) {
            decision.result = EngineNotAdministrator;
            decision.message = kEngineMessageNotAdministrator;
            return decision;
        }
        for (const EngineDisk disk : {EngineDisk::Temp, EngineDisk::Windows}) {
            if (!facts.diskHasSpace || !facts.diskHasSpace(disk)) {
                decision.result = EngineNoDiskSpace;
                decision.message = kEngineMessageDiskSpace;
                decision.fullDisk = disk;
                return decision;
            }
        }
        decision.result = EngineInstall;
        return decision;
    }

    if (is_nt4(facts.os) || engine3) {
        decision.result = EngineUnsupportedSystem;
        decision.message = UnsupportedSystemMessage(facts.required);
        return decision;
    }
    decision.result = EngineKept;
    if (facts.suppressWrongOs)
        decision.message = kEngineMessageOlderEngine;
    return decision;
}

EngineRedistributable ChooseEngineRedistributable(std::uint32_t kind, std::wstring_view required)
{
    EngineRedistributable redist;
    if (kind == kKindWindows9x) {
        redist.name = kEngineRedistWindows9x;
        redist.windows9x = true;
    } else if (kind == kKindNtIntel) {
        if (VersionAtLeast(required, kEngine3)) {
            redist.name = kEngineRedist3;
            redist.fallback = kEngineRedist30;
        } else {
            redist.name = kEngineRedistNt;
        }
    }
    return redist;
}

EngineInstallCommand MakeEngineInstallCommand(std::wstring_view required, std::wstring_view path)
{
    EngineInstallCommand command;
    if (VersionAtLeast(required, kEngine3)) {
        command.shell = true;
        command.file = path;
        command.parameters = L"/quiet /norestart";
        command.canDeferRestart = true;
    } else if (VersionAtLeast(required, kEngineDeferredRestart)) {
        command.commandLine = ov::format(L"\"%s\" /c:\"msiinst /delayrebootq\"", path);
        command.canDeferRestart = true;
    } else {
        command.commandLine = ov::format(L"\"%s\" /q", path);
    }
    return command;
}

EngineInstallOutcome EvaluateEngineExitCode(int exitCode, bool canDeferRestart) noexcept
{
    EngineInstallOutcome outcome;
    if (exitCode == kEngineExitSuccess) {
        outcome.succeeded = true;
    } else if (exitCode == kEngineExitRestartRequired) {
        outcome.succeeded = true;
        outcome.restartKind = canDeferRestart ? EngineRestartLater : EngineRestartFirst;
        outcome.useInstallerLocation = canDeferRestart;
    }
    return outcome;
}

std::wstring EngineFailureText(int exitCode, const std::function<std::wstring(unsigned id)>& loadString)
{
    std::wstring text;
    if (exitCode >= 1 && exitCode <= kLargestStringId)
        text = loadString(static_cast<unsigned>(exitCode));
    if (text.empty())
        text = loadString(kEngineMessageInternalError);
    return ov::format(L"%d: %s", exitCode, text);
}
