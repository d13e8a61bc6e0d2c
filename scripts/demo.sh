#!/usr/bin/env bash
# The launcher's main job, end to end under Wine: setup.exe installs the
# "Orvane Demo" MSI package into a demo Wine prefix, then the script shows
# what was installed and the launcher's exit code.
#
# Usage: scripts/demo.sh            (after scripts/install-deps.sh)
# Leaves build/demo/ (the package, the prefix, the setup log) for a look.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# shellcheck source=wine-env.sh
. "$root/scripts/wine-env.sh"

demo="$root/build/demo"
setup_exe="$root/build/win64/Runtime/MSI/Shared/Setup/setup.exe"
runexe="$root/build/win64/tests/doubles/runexe.exe"
product_code="{6A3E1F52-7C1B-4D8E-9A57-0B1C2D3E4F50}"   # as in demo.wxs
demo_prop="set-by-the-orvane-demo"

win_path() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

# Runs a Windows command line unchanged and prints its whole exit code
# (Linux would see only the low 8 bits); the code goes to $run_exit.
run_windows() {
  local out
  out="$(RUNEXE_CMDLINE="$1" wine "$runexe")" || true
  printf '%s\n' "$out" | sed '/^EXIT=/d'
  run_exit="$(printf '%s\n' "$out" | sed -n 's/^EXIT=\(.*\)\r\{0,1\}$/\1/p' | tr -d '\r')"
}

# How the launcher is asked to install the package. This milestone's launcher
# hands a Windows Installer command line on with its run-once form "/%";
# a payload-carrying setup.exe will take the package from its own file.
launcher_command_line() {
  printf '%s /%% /i %s /qn DEMOPROP=%s' "$(win_path "$setup_exe")" "$(win_path "$demo/demo.msi")" "$demo_prop"
}

ov_log "building the launcher (win64)"
scripts/build.sh win64

ov_log "building the demo package with wixl"
mkdir -p "$demo"
wixl -o "$demo/demo.msi" "$root/tests/e2e/packages/demo.wxs"

ov_log "preparing the demo Wine prefix"
ov_wine_prepare "$demo/wineprefix"
ov_wine_start "$demo"

# A demo run after an earlier one starts from a clean state.
if wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code" /reg:32 >/dev/null 2>&1; then
  ov_log "removing the demo product left by an earlier run"
  wine msiexec /x "$product_code" /qn || true
fi
# The setup log, through the per-user switch (the run-once form carries no
# /debuglog: its whole text goes to the installer).
rm -f "$demo/Orvane.log"
wine reg add 'HKCU\SOFTWARE\Orvane\17.0\Professional' /v DoVerboseLogging /t REG_DWORD /d 1 /f >/dev/null
wine reg add 'HKCU\SOFTWARE\Orvane\17.0\Professional' /v VerboseLogPath /t REG_SZ /d "$(win_path "$demo")" /f >/dev/null

cmdline="$(launcher_command_line)"
ov_log "running: $cmdline"
run_windows "$cmdline"
launcher_exit="$run_exit"

install_dir="$demo/wineprefix/drive_c/Program Files (x86)/Orvane Demo"
echo
ov_log "launcher exit code: $launcher_exit"
ov_log "installed files (C:\\Program Files (x86)\\Orvane Demo):"
ls -l "$install_dir" 2>/dev/null || echo "   (none)"
ov_log "registry value HKLM\\Software\\Orvane Demo DemoProp (32-bit view):"
wine reg query 'HKLM\Software\Orvane Demo' /v DemoProp /reg:32 2>/dev/null | sed -n 's/^ *DemoProp/   DemoProp/p' || true
ov_log "uninstall entry:"
wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code" /reg:32 2>/dev/null \
  | grep -E 'DisplayName|DisplayVersion|InstallLocation|Publisher' | sed 's/^ */   /' || echo "   (none)"
ov_log "setup log ($demo/Orvane.log):"
sed 's/^/   /' "$demo/Orvane.log" 2>/dev/null || echo "   (none)"

ok=1
[ "$launcher_exit" = 0 ] || ok=0
[ -f "$install_dir/readme.txt" ] || ok=0
wine reg query 'HKLM\Software\Orvane Demo' /v DemoProp /reg:32 2>/dev/null | grep -q "$demo_prop" || ok=0
echo
if [ "$ok" = 1 ]; then
  ov_log "DEMO OK: setup.exe installed Orvane Demo with DEMOPROP=$demo_prop"
else
  ov_log "DEMO FAILED"
  exit 1
fi
