#!/usr/bin/env bash
# Runs every test: builds native, win64 and win32 (the i686 build only has to
# compile, warnings are errors), runs the native tests, then the Windows tests
# (unit tests and end-to-end scenarios of the real setup.exe) under Wine with
# one private prefix, one kept-alive wineserver and one Xvfb display.
#
# Usage: scripts/test.sh [--no-build] [ctest options...]
#   ctest options go to both ctest runs, e.g.  scripts/test.sh -R e2e_usage
# Environment: OV_JOBS (build jobs, default: all cores), OV_TEST_JOBS
# (parallel tests, default 2).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root" || exit 2
# shellcheck source=scripts/wine-env.sh
. "$root/scripts/wine-env.sh"

build=1
if [ "${1:-}" = "--no-build" ]; then build=0; shift; fi
ctest_args=("$@")
test_jobs="${OV_TEST_JOBS:-2}"

summary=()
failed=0
run_step() {  # run_step <name> <command...>: runs, times and records a step
  local name="$1" t0=$SECONDS status=ok; shift
  ov_log "$name"
  if ! "$@"; then status=FAILED; failed=1; fi
  summary+=("$(printf '%-28s %-7s %5d s' "$name" "$status" $((SECONDS - t0)))")
  [ "$status" = ok ]
}

print_summary() {
  echo
  echo "==================== test summary ===================="
  local line
  for line in "${summary[@]}"; do echo "  $line"; done
  echo "  total                        $((SECONDS)) s"
  if [ "$failed" -eq 0 ]; then
    echo "ALL TESTS PASSED"
  else
    echo "TESTS FAILED"
    echo "  (end-to-end runs, logs and screenshots: build/win64/tests/e2e/work/)"
  fi
  echo "======================================================"
}

finish() {
  print_summary
  exit "$failed"
}

# 1. Build all three. Nothing can be tested when a build fails.
if [ "$build" -eq 1 ]; then
  run_step "build native" scripts/build.sh native || finish
  run_step "build win64" scripts/build.sh win64 || finish
  run_step "build win32 (compile only)" scripts/build.sh win32 || finish
fi

# 2. Native tests of the pure modules.
run_step "native tests" ctest --test-dir build/native --output-on-failure -j "$test_jobs" \
  "${ctest_args[@]}"

# 3. Windows tests under Wine: one prefix, one wineserver, one display.
mkdir -p build/win64
if run_step "wine prefix" ov_wine_prepare "$root/build/win64/wineprefix" \
   && run_step "wineserver and Xvfb" ov_wine_start "$root/build/win64"; then
  ov_log "DISPLAY=$DISPLAY WINEPREFIX=$WINEPREFIX"
  run_step "windows tests (wine)" ctest --test-dir build/win64 --output-on-failure \
    -j "$test_jobs" "${ctest_args[@]}"
fi

# 4. Fuzzers: a short run of every fuzz target goes here (scripts/build.sh fuzz,
#    then each target for a few seconds on its corpus). Benchmarks are not part
#    of the tests; they run on their own from bench/.

ov_wine_stop
finish
