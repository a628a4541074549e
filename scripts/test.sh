#!/usr/bin/env bash
# Builds lumen and runs every test: once plain (then a short chaos soak per
# radio), once under AddressSanitizer and UndefinedBehaviorSanitizer, once
# under ThreadSanitizer; checks an application against the installed library
# and the Debian packages (scripts/package-check.sh);
# runs each fuzzer briefly; then cross-builds for Windows and runs the suites
# there under Wine. Installs what it needs from Debian first. The API reference
# is built too: an exported name without documentation fails the run.
#
# The tests mostly wait on events and timers and leave the cores idle, so each
# leg's tests run in the background while the next leg compiles at a lower
# priority; a background job's output is printed whole when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --windows

jobs=$(nproc)
test_jobs=$((jobs * 4))
logs=$(mktemp -d)
# A failed run leaves no job of its own behind.
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$logs"' EXIT
# Line tables only: backtraces and sanitizer reports still give file:line,
# and the compiler writes a fraction of the debug information.
lines_only=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_DEBUG=-g1)

build_leg() {
  local dir=$1
  shift
  local began=$SECONDS
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  nice -n 10 cmake --build "$dir" -j "$jobs"
  echo "== ${dir} built in $((SECONDS - began)) s (at ${SECONDS} s)"
}

test_leg() {
  ctest --test-dir "$1" --output-on-failure -j "$test_jobs" --timeout 600
}

# start NAME COMMAND...: runs the command in the background, its output to a log.
declare -A pids
start() {
  local name=$1
  shift
  (
    # Not `"$@" || ...`: that would switch off set -e inside the command.
    set +e
    (
      set -e
      "$@"
    )
    status=$?
    echo "== ${name} ended (at ${SECONDS} s)"
    exit "$status"
  ) >"$logs/$name" 2>&1 &
  pids[$name]=$!
}

# finish NAME: waits for it, prints its output, and stops the run if it failed.
finish() {
  local name=$1 status=0
  wait "${pids[$name]}" || status=$?
  cat "$logs/$name"
  if [ "$status" -ne 0 ]; then
    echo "== ${name} failed (exit code ${status})" >&2
    exit "$status"
  fi
}

release_checks() {
  # Seconds of Doxygen: an exported name without documentation fails the run.
  echo "== API reference"
  bash scripts/docs.sh
  echo "== Release tests"
  test_leg build/release
  # A short chaos soak per radio, both at once (a fixed seed, so a failure can
  # be run again).
  echo "== Chaos soak: 1.5 minutes per radio"
  bash scripts/soak.sh --minutes 1.5 --seed 1 --together
  echo "== Installed library used by an application"
  rm -rf build/install-check
  cmake --install build/release --prefix build/install-check/prefix >/dev/null
  cmake -S tests/install -B build/install-check/app -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/install-check/prefix" \
    >/dev/null
  cmake --build build/install-check/app
  local libdir
  libdir=build/install-check/prefix/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' build/release/CMakeCache.txt)
  LD_LIBRARY_PATH=$libdir build/install-check/app/lumen_install_check
  PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --exists lumen
  bash scripts/package-check.sh build/release
}

# The Wine prefix takes seconds of mostly waiting: made while the first leg compiles.
start wine-prefix bash scripts/windows.sh --prefix-only

echo "== Release build"
# The benchmarks are not run here: not built either. Laid out for /usr
# (libraries in the multiarch directory): the Debian packages come from it.
build_leg build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEN_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  "${lines_only[@]}"
start release release_checks

# Built with clang, so the same build also gives the fuzz targets (libFuzzer
# is clang's): the library is compiled once for both.
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build (clang), fuzz targets included"
CXX=clang++ build_leg build/asan -DCMAKE_BUILD_TYPE=Debug "-DLUMEN_SANITIZE=address;undefined" \
  -DLUMEN_BUILD_FUZZ=ON -DLUMEN_BUILD_BENCH=OFF "${lines_only[@]}"
finish release
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  start asan test_leg build/asan

# Races only show under ThreadSanitizer; optimised, as it slows every test,
# but at -O1: this build is on the run's critical path and its tests are not.
echo "== ThreadSanitizer build"
build_leg build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMEN_SANITIZE=thread -DLUMEN_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
finish asan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 start tsan test_leg build/tsan

finish wine-prefix
echo "== The Windows cross build"
nice -n 10 bash scripts/windows.sh --build-only
finish tsan

echo "== Fuzz smoke: each libFuzzer target for a short while"
start fuzz bash scripts/fuzz.sh --built build/asan 12
echo "== Windows: every suite under Wine"
bash scripts/windows.sh --run-only | tee "$logs/windows"
finish fuzz

# One closing line over every test run (reached only when everything passed).
passed=$(cat "$logs"/* | grep -Eo 'tests passed, [0-9]+ tests failed out of [0-9]+' | awk '{s += $NF} END {print s + 0}')
echo "tests: ${passed} passed, 0 failed"
echo "== done in ${SECONDS} s"
