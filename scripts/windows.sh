#!/usr/bin/env bash
# Cross-builds lumen for 64-bit Windows with mingw-w64 and runs it under Wine:
# lumen.dll with its import library, the examples, lumenTestApp.exe and the
# test suites. The virtual BLED112 runs natively on Linux and Wine sees its
# terminal as COM12, so the serial suite drives a real COM port. Ends with an
# application built through find_package(lumen) against the SDK zip
# (build/windows/build/packages), unpacked.
# Installs what it needs from Debian first.
#
#   bash scripts/windows.sh [--build-only | --run-only | --prefix-only]
#
# The two halves apart let scripts/test.sh compile while other tests run;
# --prefix-only creates the Wine prefix alone, seconds of waiting it starts
# early in the background.
set -euo pipefail
cd "$(dirname "$0")/.."

build_part=1
run_part=1
case "${1:-}" in
  --build-only) run_part=0 ;;
  --run-only) build_part=0 ;;
  --prefix-only) build_part=0 run_part=0 ;;
  "") ;;
  *) echo "usage: bash scripts/windows.sh [--build-only | --run-only | --prefix-only]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh --windows

jobs=$(nproc)
root=$PWD/build/windows
deps=$root/deps
build=$root/build
com=12

# Header-only dependencies in a folder of their own: /usr/include itself must
# never be on a mingw include path.
mkdir -p "$deps/include" "$deps/share/cmake/nlohmann_json"
ln -sfn /usr/include/boost "$deps/include/boost"
ln -sfn /usr/include/nlohmann "$deps/include/nlohmann"
cp /usr/share/cmake/nlohmann_json/*.cmake "$deps/share/cmake/nlohmann_json/"

# Wine: a prefix of our own, quiet, and mingw's runtime DLLs on its PATH.
export WINEPREFIX=$root/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
to_windows_path() { local p=$1; echo "Z:${p//\//\\}"; }
runtime_dirs=(
  "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
  "$(realpath "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")")"
)
WINEPATH="$(to_windows_path "${runtime_dirs[0]}");$(to_windows_path "${runtime_dirs[1]}")"
export WINEPATH
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Creating the Wine prefix"
  wine wineboot --init >/dev/null 2>&1 || true
  wineserver -w
fi
[ "$build_part" = 1 ] || [ "$run_part" = 1 ] || exit 0

if [ "$build_part" = 1 ]; then
  echo "== Exported headers: strict ISO C++ for every compiler, Windows included"
  bash scripts/check-public-headers.sh "$deps/include"

  echo "== Cross build (mingw-w64)"
  # -O2, the usual release level, rather than CMake's -O3, which takes a fifth
  # longer to build.
  cmake -S . -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DLUMEN_WINDOWS_DEPS="$deps" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DLUMEN_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j "$jobs"

  echo "== The virtual BLED112, built for Linux"
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/release -j "$jobs" --target lumen-sim

  echo "== No C++20 atomic waiting in the sources or the Windows binaries"
  # mingw's libstdc++ emulates it with a wake-up that can be lost: suites hung.
  mapfile -t binaries < <(find "$build/bin" -maxdepth 1 \( -name '*.exe' -o -name '*.dll' \) | sort)
  bash scripts/check-no-atomic-wait.sh "${binaries[@]}"
fi
[ "$run_part" = 1 ] || exit 0

echo "== Tests under Wine"
# Every suite through ctest; the ones that use the COM port share one radio
# and take turns on it. A suite still running after two minutes has hung:
# it is cut off and fails the run.
bash scripts/with-virtual-bled112.sh --sim build/release/sim/lumen-sim --wine-prefix "$WINEPREFIX" --com "$com" -- \
  ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 120

echo "== lumenTestApp.exe on the virtual nRF52 board"
# It runs until the phone is tracked, then 'q' ends it: exit code 0 and a clean stop.
log=$root/testapp.log
fifo=$(mktemp -u "${TMPDIR:-/tmp}/lumen-keys.XXXXXX")
mkfifo "$fifo"
scenario=$(to_windows_path "$(realpath sim/scenarios/phone-tracking.json)")
wine "$build/bin/lumenTestApp.exe" "-c$scenario" -u38a094a1-b1a0-472c-bd2f-00243623c016 -f5 -v1 \
  <"$fifo" >"$log" 2>&1 &
app=$!
exec 8>"$fifo"
rm -f "$fifo"
for _ in $(seq 1 600); do
  grep -q "KESLUMEN found phone" "$log" && break
  kill -0 "$app" 2>/dev/null || break
  sleep 0.1
done
printf 'q' >&8
exec 8>&-
status=0
wait "$app" || status=$?
if [ "$status" -ne 0 ] || ! grep -q "KESLUMEN found phone" "$log" || ! grep -q "^Exiting" "$log"; then
  cat "$log"
  echo "lumenTestApp.exe failed (exit code $status)" >&2
  exit 1
fi
grep -E "KESLUMEN found phone|^Exiting" "$log"

echo "== The SDK zip, unpacked into an empty folder, used by a Windows application"
# Its bin/ is the only place the application's DLLs come from: one missing
# from the zip fails the run.
sdk=$(mktemp -d)
trap 'rm -rf "$sdk"' EXIT
rm -rf "$build/packages"
cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$build/packages" >/dev/null
sdk_name=lumen-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")-win64
unzip -q "$build/packages/$sdk_name.zip" -d "$sdk"
rm -rf "$root/sdk-check"
cmake -S tests/install -B "$root/sdk-check" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DLUMEN_WINDOWS_DEPS="$deps" \
  -DCMAKE_PREFIX_PATH="$sdk" >/dev/null
cmake --build "$root/sdk-check"
if ! WINEPATH=$(to_windows_path "$sdk/$sdk_name/bin") wine "$root/sdk-check/lumen_install_check.exe"; then
  echo "lumen_install_check.exe failed on the SDK zip (a DLL missing from its bin?): $(ls "$sdk/$sdk_name/bin")" >&2
  exit 1
fi
echo "the SDK zip ($sdk_name.zip) works for a find_package(lumen) application"
