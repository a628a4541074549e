#!/usr/bin/env bash
# Builds lumen's packages:
#   deb  the Debian packages liblumen0, liblumen-dev and lumen-sim, from a
#        Release tree laid out for /usr: build/package/packages/*.deb
#   zip  the Windows SDK zip from the mingw-w64 build (scripts/windows.sh):
#        build/windows/build/packages/lumen-<version>-win64.zip
#
#   bash scripts/package.sh [deb | zip]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."

kinds=("$@")
[ "${#kinds[@]}" -gt 0 ] || kinds=(deb zip)
for kind in "${kinds[@]}"; do
  case "$kind" in
    deb)
      bash scripts/install-deps.sh
      cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DLUMEN_BUILD_TESTS=OFF -DLUMEN_BUILD_BENCH=OFF >/dev/null
      cmake --build build/package
      rm -rf build/package/packages
      cpack --config build/package/CPackConfig.cmake -G DEB -B build/package/packages >/dev/null
      ls build/package/packages/*.deb
      ;;
    zip)
      bash scripts/windows.sh --build-only
      rm -rf build/windows/build/packages
      cpack --config build/windows/build/CPackConfig.cmake -G ZIP -B build/windows/build/packages >/dev/null
      ls build/windows/build/packages/*.zip
      ;;
    *)
      echo "usage: bash scripts/package.sh [deb | zip]..." >&2
      exit 2
      ;;
  esac
done
