#!/usr/bin/env bash
# Download benchmark: a 256 MiB file from a loopback nginx through CDownload
# under Wine, against curl fetching the same file in the same run. Prints
# each run and the throughput ratio (target >= 0.5); exits 1 below it.
#
# Usage: scripts/bench-download.sh [--no-build] [--runs N] [--size MiB]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
# shellcheck source=scripts/wine-env.sh
. "$root/scripts/wine-env.sh"

build=1
if [ "${1:-}" = "--no-build" ]; then build=0; shift; fi
if [ "$build" -eq 1 ]; then
  if [ -f build/win64/build.ninja ]; then
    cmake --build build/win64 --target download_bench -- -j"${OV_JOBS:-1}" >/dev/null
  else
    scripts/build.sh win64 >/dev/null
  fi
fi
exe="$root/build/win64/bench/wine/download_bench.exe"
[ -x "$exe" ] || { echo "no $exe: build win64 first" >&2; exit 2; }

ov_wine_prepare "$root/build/win64/bench-download/prefix"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineserver -p 60
# Start the prefix's services now, with no output handles: started by a run
# whose output is captured, they would inherit its pipe and hold it open.
wine rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1 || true
# The servers need the system's python3 (pyftpdlib is a Debian package).
/usr/bin/python3 "$root/bench/download_bench.py" --exe "$exe" "$@"
