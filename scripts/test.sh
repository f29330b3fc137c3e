#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: the Release build an
# operator installs, and one under AddressSanitizer and UndefinedBehaviorSanitizer. With
# clang present it also builds the libFuzzer targets and runs each one for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

echo "== normal build (Release, as installed)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs" --timeout 600)

echo "== sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZV_SANITIZE=ON -DZV_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"
(cd build-asan && ctest --output-on-failure -j "$jobs" --timeout 900)

if command -v clang++ >/dev/null; then
  secs=${ZV_FUZZ_SECONDS:-15}
  echo "== fuzz targets (libFuzzer, ${secs}s each)"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZV_FUZZ=ON -DZV_BENCH=OFF -DZV_WERROR=OFF >/dev/null
  cmake --build build-fuzz -j "$jobs"
  fuzz_one() {  # corpus directory
    local target bin work
    target=$(basename "$1")
    bin=build-fuzz/fuzz/$target
    [ -x "$bin" ] || { echo "   $target: no binary"; return 1; }
    work=$(mktemp -d)
    cp -r "$1"/. "$work"/
    if "$bin" -max_total_time="$secs" -rss_limit_mb=2048 "$work" >/dev/null 2>"build-fuzz/$target.log"; then
      echo "   $target: ok"
    else
      cat "build-fuzz/$target.log"; echo "   $target: FAILED"; rm -rf "$work"; return 1
    fi
    rm -rf "$work"
  }
  export -f fuzz_one
  export secs
  ls -d fuzz/corpus/*/ | sed 's:/$::' | xargs -P "$jobs" -I{} bash -c 'fuzz_one {}'
fi
echo "== all tests passed"
