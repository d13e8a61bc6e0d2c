#!/usr/bin/env bash
# Payload extraction benchmark: builds the native tree, then for two payload
# sizes generates the input (not kept), builds a launcher with the authoring
# tool's code and extracts it with the launcher's one-pass extraction, against
# plain zlib inflation of the same data in the same run. The peak memory of
# the two sizes shows whether memory grows with the payload.
#
# Usage: scripts/bench.sh [SMALL_MIB [LARGE_MIB]]   (default 64 and 448 MiB of
#   plain input; 448 MiB gives a payload of more than 256 MiB)
# Environment: OV_JOBS (build jobs), OV_BENCH_DIR (work folder, default
#   build/bench-work; removed at the end).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
small="${1:-64}"
large="${2:-448}"
work="${OV_BENCH_DIR:-$root/build/bench-work}"

"$root/scripts/build.sh" native >/dev/null
bench="$root/build/native/bench/payload_bench"

cleanup() { rm -rf "$work"; }
trap cleanup EXIT

for size in "$small" "$large"; do
  rm -rf "$work"
  mkdir -p "$work"
  echo "== $size MiB of input"
  "$bench" prepare "$work" "$size"
  "$bench" extract "$work" 3
done
