#!/usr/bin/env bash
# Installs what building and testing lumen needs, from Debian's archive only.
# Safe to run again: packages already present are left alone.
# tshark checks the capture dissector (scripts/wireshark/lumen.lua); doxygen
# builds the API reference (scripts/docs.sh); lintian checks the Debian packages.
# --windows adds the mingw-w64 cross compiler, Wine and GoogleTest's sources.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3
  libboost-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang lld libclang-rt-dev
  tshark doxygen lintian
)
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine wine64 googletest unzip)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # tshark's package asks whether non-root users may capture; they need not.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
