#!/usr/bin/env bash
# Builds the API reference of the exported headers (include/lumen) with
# Doxygen: build/docs/html/index.html. Fails, naming each one, when an
# exported name, parameter or return value has no documentation, or a comment
# does not fit its declaration. The version shown is CMakeLists.txt's.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

version=$(sed -nE 's/^project\(lumen VERSION ([0-9][0-9.]*).*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
  echo "no version in CMakeLists.txt's project(lumen VERSION ...)" >&2
  exit 1
fi
rm -rf build/docs
mkdir -p build/docs
if ! LUMEN_VERSION=$version doxygen docs/api/Doxyfile; then
  echo "API reference: Doxygen warned (above); every exported name needs its documentation" >&2
  exit 1
fi
echo "API reference ${version}: build/docs/html/index.html"
