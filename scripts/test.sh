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

# 2. The sources follow the checked-in .clang-format.
check_format() {
  local files
  files=$(git ls-files 'Runtime/*.cpp' 'Runtime/*.h' 'support/*.cpp' 'support/*.h' 'log/*.cpp' 'log/*.h' \
          'cleanup/*.cpp' 'cleanup/*.h' 'tools/*.cpp' 'tools/*.h' 'bench/*.cpp' 'tests/*.cpp' 'tests/*.h' 'tests/*.c')
  [ -z "$files" ] && return 0
  # shellcheck disable=SC2086
  clang-format --dry-run --Werror $files
}
run_step "source format" check_format

# 3. Native tests of the pure modules.
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

# 4. Fuzzers: every target runs briefly (OV_FUZZ_SECONDS, default 15) on a
#    scratch copy of its seed corpus; a crash, leak, hang or undefined
#    behaviour fails the step. Benchmarks are not part of the tests; they run
#    on their own (scripts/bench*.sh).
run_fuzzers() {
  local seconds="${OV_FUZZ_SECONDS:-15}" status=0 target name corpus scratch log
  for target in build/fuzz/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name="$(basename "$target")"
    corpus="tests/fuzz/corpus/${name#fuzz_}"
    scratch="build/fuzz/run/$name"
    log="build/fuzz/run/$name.log"
    rm -rf "$scratch"; mkdir -p "$scratch"
    if UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$target" -max_total_time="$seconds" -timeout=10 \
         -print_final_stats=1 "$scratch" "$corpus" >"$log" 2>&1; then
      printf '    %-20s %s runs, %s exec/s\n' "$name" \
        "$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")" \
        "$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")"
    else
      echo "    $name FAILED; the end of $log:"; tail -40 "$log"; status=1
    fi
  done
  return $status
}
if [ "$build" -eq 0 ] || run_step "build fuzz (clang)" scripts/build.sh fuzz; then
  run_step "fuzzers" run_fuzzers
fi

ov_wine_stop
finish
