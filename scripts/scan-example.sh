#!/usr/bin/env bash
# Builds lumen and runs the scan example against a virtual radio
# with two phones in range (sim/scenarios/demo.json).
#
#   scripts/scan-example.sh [bled112|nrf52]     (default bled112)
#
# bled112: the virtual BLED112 on a pseudo-terminal, spoken to over BGAPI.
# nrf52:   the virtual nRF52 connectivity board behind the Nordic backend
#          (in a build without pc-ble-driver the port names the scenario file).
set -euo pipefail
cd "$(dirname "$0")/.."

radio=${1:-bled112}
case "$radio" in
  bled112 | nrf52) ;;
  *)
    echo "usage: $0 [bled112|nrf52]" >&2
    exit 2
    ;;
esac

bash scripts/build-release.sh lumen-sim lumen_scan_example
build=build/release

if [ "$radio" = nrf52 ]; then
  echo "Virtual nRF52 board running sim/scenarios/demo.json"
  exec "$build/examples/lumen_scan_example" --radio nrf52 sim/scenarios/demo.json
fi

# The virtual radio prints the terminal it listens on as its first line.
coproc SIM { exec "$build/sim/lumen-sim" --scenario sim/scenarios/demo.json; }
trap 'kill "$SIM_PID" 2>/dev/null || true' EXIT
read -r port <&"${SIM[0]}"
echo "Virtual BLED112 on $port"
"$build/examples/lumen_scan_example" --radio bled112 "$port"
