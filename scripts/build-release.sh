#!/usr/bin/env bash
# Installs the dependencies and builds the named targets in build/release,
# configuring it first; the scripts that run a program from there start here.
#
#   scripts/build-release.sh TARGET...
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$#" -eq 0 ]; then
  echo "usage: $0 TARGET..." >&2
  exit 2
fi

bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target "$@"
