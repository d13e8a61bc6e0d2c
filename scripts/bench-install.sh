#!/usr/bin/env bash
# Install timing: how long setup.exe takes to install the demo package from
# its payload, against the same installation by msiexec run directly, in the
# same Wine prefix. Each round installs with the launcher
# (setup.exe /s /v"/qn"), removes the product, installs with
# msiexec /i demo.msi /qn, and removes it again (the order alternates between
# rounds); removals are not timed. Both are started the same way (runexe.exe,
# which also reports the whole exit code). For the launcher runs the time is
# split by when the installer process (msiexec) ran: before it (start-up,
# payload extraction), the installer itself, and after it (cleanup, exit).
#
# Usage: scripts/bench-install.sh [ROUNDS]      (default 5)
# Prints the median times and the ratio launcher / msiexec (target <= 1.5).
# Environment:
#   OV_BENCH_INSTALL_DIR   work folder (default build/bench-install; kept)
#   OV_BENCH_REUSE_WINE=1  use the Wine prefix, display and wineserver of the
#                          caller (scripts/demo.sh); otherwise a prefix of its
#                          own in the work folder
#   OV_BENCH_EXTRA_MB=N    add a file of N MiB (random bytes) to the demo
#                          package, for an installation of a more usual size
#                          (default 0: the demo package as it is)
# Needs build/win64 (setup.exe, runexe.exe) and build/native (ovpack):
# scripts/build.sh win64 && scripts/build.sh native.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
rounds="${1:-5}"
work="${OV_BENCH_INSTALL_DIR:-$root/build/bench-install}"
# shellcheck source=scripts/wine-env.sh
. "$root/scripts/wine-env.sh"

setup_exe="$root/build/win64/Runtime/MSI/Shared/Setup/setup.exe"
runexe="$root/build/win64/tests/doubles/runexe.exe"
ovpack="$root/build/native/tools/ovpack"
for f in "$setup_exe" "$runexe" "$ovpack"; do
  [ -f "$f" ] || { echo "missing $f: run scripts/build.sh win64 and scripts/build.sh native" >&2; exit 1; }
done

win_path() { printf 'Z:%s' "${1//\//\\}"; }

mkdir -p "$work"
if [ "${OV_BENCH_REUSE_WINE:-}" != 1 ]; then
  ov_wine_prepare "$work/wineprefix"
  ov_wine_start "$work"
fi

# A product of its own, so that the bench never touches the demo's product.
product_code="{6A3E1F52-7C1B-4D8E-9A57-0B1C2D3E4F70}"
product_name="Orvane Bench Demo"
extra_mb="${OV_BENCH_EXTRA_MB:-0}"
ov_log "building the package ($extra_mb MiB added) and the launcher (payload type 1)"
mkdir -p "$work/package"
cp "$root"/tests/e2e/packages/{demo.wxs,readme.txt,license.txt} "$work/package/"
if [ "$extra_mb" -gt 0 ]; then
  head -c "$((extra_mb * 1048576))" /dev/urandom >"$work/package/extra.bin"
  sed -i 's#^\( *\)<File Id="LicenseTxt".*$#&\n\1<File Id="ExtraBin" Name="extra.bin" Source="extra.bin"/>#' \
    "$work/package/demo.wxs"
  grep -q ExtraBin "$work/package/demo.wxs" || { echo "could not add extra.bin to demo.wxs" >&2; exit 1; }
fi
wixl -D "ProductCode=$product_code" -D "UpgradeCode={6A3E1F52-7C1B-4D8E-9A57-0B1C2D3E4F71}" \
  -D "ProductName=$product_name" -o "$work/demo.msi" "$work/package/demo.wxs"
package_code="$(msiinfo suminfo "$work/demo.msi" | sed -n 's/^Revision number (UUID): *//p' | tr -d '\r')"
mkdir -p "$work/src" "$work/media"
printf '%s\r\n' "[Startup]" "PackageName=demo.msi" "ProductCode=$product_code" "PackageCode=$package_code" \
  "ProductVersion=1.0.0" "ScriptDriven=0" "[Languages]" "Default=0x0409" "Supported=0x0409" \
  "[demo.msi]" "Type=1" >"$work/src/setup.ini"
printf '[0x0409]\r\n' >"$work/src/0x0409.ini"
"$ovpack" build --launcher "$setup_exe" --out "$work/media/setup.exe" \
  --compress "$work/src/setup.ini" "$work/src/0x0409.ini" --store --name demo.msi "$work/demo.msi" >/dev/null

launcher_cmd="$(win_path "$work/media/setup.exe") /s /v\"/qn\" /debuglog\"$(win_path "$work/setup.log")\""
direct_cmd="msiexec /i \"$(win_path "$work/demo.msi")\" /qn"

remove_product() {
  wine msiexec /x "$product_code" /qn >/dev/null 2>&1 || true
}
remove_product

# Runs a Windows command line through runexe.exe and prints
# "<seconds total> <seconds before msiexec> <seconds of msiexec> <seconds after> <exit code>";
# the installing msiexec process is found by polling /proc every 10 ms (Wine
# gives a process its Windows command line there).
timed_run() {
  RUNEXE_CMDLINE="$1" python3 - "$runexe" <<'EOF'
import os, subprocess, sys, tempfile, time, re
from pathlib import Path

def msiexec_running():
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            args = (entry / "cmdline").read_bytes().decode("utf-8", "replace").lower().split("\0")
        except OSError:
            continue
        # An installation (not a removal of the previous round, not the
        # installer service "msiexec /V").
        name = args[0].strip().strip('"').rsplit("\\", 1)[-1]
        if name in ("msiexec.exe", "msiexec") and "/i" in args[1:]:
            return True
    return False

with tempfile.TemporaryFile() as out:
    start = time.monotonic()
    proc = subprocess.Popen(["wine", sys.argv[1]], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    first = last = None
    while proc.poll() is None:
        now = time.monotonic()
        if msiexec_running():
            first = first if first is not None else now
            last = now
        time.sleep(0.01)
    end = time.monotonic()
    out.seek(0)
    text = out.read().decode("utf-8", "replace")
m = re.search(r"^EXIT=(\S+)", text, re.M)
code = m.group(1) if m else "unknown"
if first is None:
    first = last = end
print(f"{end - start:.3f} {first - start:.3f} {last - first:.3f} {end - last:.3f} {code}")
EOF
}

launcher_times=()
direct_times=()
for round in $(seq 1 "$rounds"); do
  order=(launcher direct)
  [ $((round % 2)) = 0 ] && order=(direct launcher)
  for who in "${order[@]}"; do
    if [ "$who" = launcher ]; then
      read -r total before during after code < <(timed_run "$launcher_cmd")
      printf 'round %d  setup.exe  %6.2f s  (before msiexec %.2f, msiexec %.2f, after %.2f)  exit %s\n' \
        "$round" "$total" "$before" "$during" "$after" "$code"
      launcher_times+=("$total $before $during $after")
    else
      read -r total _ _ _ code < <(timed_run "$direct_cmd")
      printf 'round %d  msiexec    %6.2f s  exit %s\n' "$round" "$total" "$code"
      direct_times+=("$total")
    fi
    if [ "$code" != 0 ]; then
      echo "the $who install failed with exit code $code (see $work/setup.log)" >&2
      remove_product
      exit 1
    fi
    wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code" /reg:32 \
      >/dev/null 2>&1 || { echo "the $who run did not register the product" >&2; exit 1; }
    remove_product
  done
done

python3 - "${#launcher_times[@]}" "${launcher_times[@]}" "${direct_times[@]}" <<'EOF'
import statistics, sys
n = int(sys.argv[1])
launcher = [list(map(float, s.split())) for s in sys.argv[2:2 + n]]
direct = [float(s) for s in sys.argv[2 + n:]]
med = lambda xs: statistics.median(xs)
total, before, during, after = (med([r[i] for r in launcher]) for i in range(4))
d = med(direct)
ratio = total / d
print()
print(f"median over {n} rounds")
print(f"  setup.exe /s /v\"/qn\"     {total:6.2f} s   (before msiexec {before:.2f} s, msiexec {during:.2f} s, "
      f"after msiexec {after:.2f} s)")
print(f"  msiexec /i demo.msi /qn   {d:6.2f} s")
print(f"  ratio setup.exe / msiexec {ratio:6.2f}   (target <= 1.5: {'met' if ratio <= 1.5 else 'missed'})")
EOF
