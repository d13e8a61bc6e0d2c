#!/usr/bin/env bash
# The launcher's main job, end to end under Wine: the authoring tool packs
# the "Orvane Demo" MSI package into a setup.exe (payload type 1), which
# installs it silently into a demo Wine prefix; then the script shows what
# was installed and the launcher's exit code, and times the same
# installation by setup.exe against msiexec run directly
# (scripts/bench-install.sh, in the same prefix).
#
# Usage: scripts/demo.sh            (after scripts/install-deps.sh)
#   OV_DEMO_BENCH_ROUNDS   rounds of the timing (default 3; 0 skips it)
# Leaves build/demo/ (the package, the launcher, the prefix, the setup log)
# for a look.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# shellcheck source=scripts/wine-env.sh
. "$root/scripts/wine-env.sh"

demo="$root/build/demo"
setup_exe="$root/build/win64/Runtime/MSI/Shared/Setup/setup.exe"
runexe="$root/build/win64/tests/doubles/runexe.exe"
product_code="{6A3E1F52-7C1B-4D8E-9A57-0B1C2D3E4F50}"   # as in demo.wxs
demo_prop="set-by-the-orvane-demo"

win_path() { printf 'Z:%s' "${1//\//\\}"; }

# Runs a Windows command line unchanged and prints its whole exit code
# (Linux would see only the low 8 bits); the code goes to $run_exit.
run_windows() {
  local out
  out="$(RUNEXE_CMDLINE="$1" wine "$runexe")" || true
  printf '%s\n' "$out" | sed '/^EXIT=/d'
  run_exit="$(printf '%s\n' "$out" | sed -n 's/^EXIT=\(.*\)\r\{0,1\}$/\1/p' | tr -d '\r')"
}

# The setup the demo runs: the launcher with setup.ini, its language file and
# the package in its payload ([demo.msi] Type=1: taken from the payload).
pack_launcher() {
  local package_code
  package_code="$(msiinfo suminfo "$demo/demo.msi" | sed -n 's/^Revision number (UUID): *//p' | tr -d '\r')"
  mkdir -p "$demo/src" "$demo/media"
  printf '%s\r\n' "[Startup]" "PackageName=demo.msi" "ProductCode=$product_code" "PackageCode=$package_code" \
    "ProductVersion=1.0.0" "ScriptDriven=0" "[Languages]" "Default=0x0409" "Supported=0x0409" \
    "[demo.msi]" "Type=1" >"$demo/src/setup.ini"
  printf '[0x0409]\r\n' >"$demo/src/0x0409.ini"
  build/native/tools/ovpack build --launcher "$setup_exe" --out "$demo/media/setup.exe" \
    --compress "$demo/src/setup.ini" "$demo/src/0x0409.ini" --store --name demo.msi "$demo/demo.msi"
  build/native/tools/ovpack list "$demo/media/setup.exe" | sed 's/^/   /'
}

# How the launcher is asked to install the package: silently, the properties
# for the Windows Installer after /v, the setup log after /debuglog.
launcher_command_line() {
  printf '%s /s /v"DEMOPROP=%s /qn" /debuglog"%s"' "$(win_path "$demo/media/setup.exe")" "$demo_prop" \
    "$(win_path "$demo/Orvane.log")"
}

ov_log "building the launcher (win64) and the authoring tool (native)"
scripts/build.sh win64 native

ov_log "building the demo package with wixl"
mkdir -p "$demo"
wixl -o "$demo/demo.msi" "$root/tests/e2e/packages/demo.wxs"

ov_log "packing demo.msi into setup.exe with ovpack"
pack_launcher

ov_log "preparing the demo Wine prefix"
ov_wine_prepare "$demo/wineprefix"
ov_wine_start "$demo"

# A demo run after an earlier one starts from a clean state.
if wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code" /reg:32 >/dev/null 2>&1; then
  ov_log "removing the demo product left by an earlier run"
  wine msiexec /x "$product_code" /qn || true
fi
rm -f "$demo/Orvane.log"
# Earlier versions of this demo turned the setup log on in the prefix's
# registry; the log now comes from /debuglog alone.
wine reg delete 'HKCU\SOFTWARE\Orvane\17.0\Professional' /v DoVerboseLogging /f >/dev/null 2>&1 || true

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
if [ "$ok" != 1 ]; then
  ov_log "DEMO FAILED"
  exit 1
fi
ov_log "DEMO OK: setup.exe installed Orvane Demo with DEMOPROP=$demo_prop"

rounds="${OV_DEMO_BENCH_ROUNDS:-3}"
if [ "$rounds" -gt 0 ]; then
  echo
  ov_log "timing: setup.exe against msiexec /i demo.msi /qn in the same prefix ($rounds rounds)"
  OV_BENCH_REUSE_WINE=1 OV_BENCH_INSTALL_DIR="$demo/bench" scripts/bench-install.sh "$rounds"
fi
