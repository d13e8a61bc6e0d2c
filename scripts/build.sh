#!/usr/bin/env bash
# Builds the project. Usage: scripts/build.sh [native|win64|win32|fuzz|all]...
# Build folders: build/<name>. Default: all (native, win64, win32).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${OV_JOBS:-$(nproc)}"

configure_and_build() {
  local name="$1"; shift
  local dir="$root/build/$name"
  if [ ! -f "$dir/build.ninja" ] || [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  fi
  cmake --build "$dir" -j "$jobs"
}

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(all)
for t in "${targets[@]}"; do
  case "$t" in
    native) configure_and_build native ;;
    win64)  configure_and_build win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" ;;
    win32)  configure_and_build win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" -DOV_BUILD_TESTS=OFF ;;
    fuzz)   configure_and_build fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DOV_FUZZ=ON ;;
    all)    configure_and_build native
            configure_and_build win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake"
            configure_and_build win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" -DOV_BUILD_TESTS=OFF ;;
    *) echo "unknown build: $t" >&2; exit 2 ;;
  esac
done
