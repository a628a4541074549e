#!/usr/bin/env bash
# The main job: builds lumen and shows it at work against the virtual radio.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)"

if [ -x build/release/examples/lumen_scan_example ] && [ -x build/release/sim/lumen-sim ]; then
  exec build/release/examples/lumen_scan_example --sim build/release/sim/lumen-sim sim/scenarios/phones.json
fi
exec build/release/examples/lumen_initialize_example
