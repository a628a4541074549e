#!/usr/bin/env bash
# The main job: builds lumen, starts the virtual BLED112 with two phones in
# range, and runs the scan example against it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target lumen-sim lumen_scan_example

# The virtual radio prints the terminal it listens on as its first line.
coproc SIM { exec "$build/sim/lumen-sim" --scenario sim/scenarios/demo.json; }
trap 'kill "$SIM_PID" 2>/dev/null || true' EXIT
read -r port <&"${SIM[0]}"
echo "Virtual BLED112 on $port"
"$build/examples/lumen_scan_example" "$port"
