#!/usr/bin/env bash
# Builds the Debian packages from a build tree, has lintian check them,
# installs them into this machine with dpkg -i, builds and runs the
# application in tests/install against them the way a user would (from /usr,
# no extra paths: find_package(lumen), then pkg-config), and removes them
# again, whatever happened.
#
#   bash scripts/package-check.sh [BUILD_DIR]   (default build/release)
#
# The tree must be configured with -DCMAKE_INSTALL_PREFIX=/usr (libraries in
# the multiarch directory). Needs root, or sudo. Refuses to run when a lumen
# package is installed already: that install is someone else's.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/release}
sudo=
[ "$(id -u)" = 0 ] || sudo=sudo

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
if [ "$libdir" != "lib/$multiarch" ]; then
  echo "package-check: $build installs libraries to '$libdir', not lib/$multiarch:" \
    "configure it with -DCMAKE_INSTALL_PREFIX=/usr" >&2
  exit 1
fi

echo "== Debian packages"
rm -rf "$build/packages"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$build/packages" >/dev/null
mapfile -t debs < <(find "$build/packages" -maxdepth 1 -name '*.deb' | sort)
packages=()
for deb in "${debs[@]}"; do
  packages+=("$(dpkg-deb -f "$deb" Package)")
  echo "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done
for p in liblumen0 liblumen-dev lumen-sim; do
  if [[ " ${packages[*]} " != *" $p "* ]]; then
    echo "package-check: cpack made no $p package" >&2
    exit 1
  fi
done
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qv '^not-installed$'; then
    echo "package-check: $p is installed on this machine already; remove it first (dpkg --purge $p)" >&2
    exit 1
  fi
done

echo "== lintian"
# Errors fail the check; warnings are shown.
lintian --fail-on error "${debs[@]}"

# dpkg ARGS...: dpkg takes one lock, which another install on this machine
# may hold for a while: waited for, up to two minutes.
dpkg_waiting() {
  local log=$work/dpkg.log
  for _ in $(seq 1 60); do
    if $sudo dpkg "$@" >"$log" 2>&1; then
      return 0
    fi
    grep -q 'lock' "$log" || break
    sleep 2
  done
  cat "$log" >&2
  return 1
}

work=$(mktemp -d)
remove() {
  local status=$?
  dpkg_waiting --purge "${packages[@]}" || status=1
  if [ -e /usr/include/lumen ] || [ -e "/usr/lib/$multiarch/cmake/lumen" ]; then
    echo "package-check: lumen's files are still in /usr after dpkg --purge" >&2
    status=1
  fi
  rm -rf "$work"
  exit "$status"
}
trap remove EXIT

echo "== Installed with dpkg -i, used by an application"
dpkg_waiting -i "${debs[@]}"
# In /usr the loader finds every library by itself: no RUNPATH left over.
for file in $(dpkg -L liblumen0 lumen-sim); do
  if [ -f "$file" ] && [ ! -L "$file" ] && readelf -d "$file" 2>/dev/null | grep -Eq '\((RUNPATH|RPATH)\)'; then
    echo "package-check: $file keeps a RUNPATH: $(readelf -d "$file" | grep -E 'R(UN)?PATH')" >&2
    exit 1
  fi
done
# No CMAKE_PREFIX_PATH, no LD_LIBRARY_PATH: what /usr holds is found.
cmake -S tests/install -B "$work/app" -G Ninja >/dev/null
cmake --build "$work/app" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
"$work/app/lumen_install_check"
# shellcheck disable=SC2046 # pkg-config's flags are words.
c++ -o "$work/app-pkg-config" tests/install/main.cpp $(pkg-config --cflags --libs lumen)
"$work/app-pkg-config" >/dev/null
# /usr's own directories hide a wrong path in the flags: the paths are checked.
pc_paths="$(realpath -m "$(pkg-config --variable=includedir lumen)") $(realpath -m "$(pkg-config --variable=libdir lumen)")"
if [ "$pc_paths" != "/usr/include /usr/lib/$multiarch" ]; then
  echo "package-check: lumen.pc points at $pc_paths, not /usr/include /usr/lib/$multiarch" >&2
  exit 1
fi
echo "pkg-config: lumen $(pkg-config --modversion lumen)"
usage=$(lumen-sim --help 2>&1 || true)
if [[ "$usage" != "usage: lumen-sim"* ]]; then
  echo "package-check: lumen-sim from /usr/bin does not run: $usage" >&2
  exit 1
fi
echo "installed packages work for find_package(lumen), pkg-config and lumen-sim"
