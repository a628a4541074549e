#!/usr/bin/env bash
# Builds lumen and runs every test: once plain (then a short chaos soak per
# radio), once under AddressSanitizer and UndefinedBehaviorSanitizer, once
# under ThreadSanitizer; checks an application against the installed library;
# runs each fuzzer briefly; then cross-builds for Windows and runs the suites
# there under Wine. Installs what it needs from Debian first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
summary=$(mktemp)
# Line tables only: backtraces and sanitizer reports still give file:line,
# and the compiler writes a fraction of the debug information.
lines_only=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_DEBUG=-g1)
trap 'rm -f "$summary"' EXIT

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 | tee -a "$summary"
}

echo "== Release build and tests"
# The benchmarks are not run here: not built either.
run_suite build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEN_BUILD_BENCH=OFF "${lines_only[@]}"

# A short chaos soak per radio (a fixed seed, so a failure can be run again).
echo "== Chaos soak: 1.5 minutes per radio"
bash scripts/soak.sh --minutes 1.5 --seed 1

echo "== Installed library used by an application"
rm -rf build/install-check
cmake --install build/release --prefix build/install-check/prefix >/dev/null
cmake -S tests/install -B build/install-check/app -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/install-check/prefix" >/dev/null
cmake --build build/install-check/app
LD_LIBRARY_PATH=build/install-check/prefix/lib build/install-check/app/lumen_install_check
PKG_CONFIG_PATH=build/install-check/prefix/lib/pkgconfig pkg-config --exists lumen

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/asan -DCMAKE_BUILD_TYPE=Debug "-DLUMEN_SANITIZE=address;undefined" -DLUMEN_BUILD_BENCH=OFF \
  "${lines_only[@]}"

# Races only show under ThreadSanitizer; optimised, as it slows every test.
echo "== ThreadSanitizer build and tests"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEN_SANITIZE=thread -DLUMEN_BUILD_BENCH=OFF \
  "${lines_only[@]}"

echo "== Fuzz smoke: each libFuzzer target for a short while"
bash scripts/fuzz.sh 20

echo "== Windows: mingw-w64 cross build, every suite under Wine"
bash scripts/windows.sh | tee -a "$summary"

# One closing line over every test run (reached only when everything passed).
passed=$(grep -Eo 'tests passed, [0-9]+ tests failed out of [0-9]+' "$summary" | awk '{s += $NF} END {print s + 0}')
echo "tests: ${passed} passed, 0 failed"
