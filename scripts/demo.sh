#!/usr/bin/env bash
# The main job: builds lumen and lumenTestApp and runs the test program for
# about 30 seconds against the virtual nRF52 board with the phones of
# sim/scenarios/phone-tracking.json, tracking two UUIDs, one per phone. The
# program beacons and scans; it finds the phone that advertises its own UUID
# but lacks a characteristic, refuses it and leaves it alone for a while; it
# finds the phone that advertises no UUID in the background by connecting to
# it, tracks it and exercises it with a challenge/response exchange every 5 seconds and a
# keep-alive read every 3 seconds. Near the end it is asked for its status
# ('s'); then its input ends, which stops it as 'q' would.
#
#   scripts/demo.sh [SECONDS]     (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
case "$seconds" in
  '' | *[!0-9]* | 0 | 1)
    echo "usage: $0 [SECONDS]   (2 or more)" >&2
    exit 2
    ;;
esac

bash scripts/build-release.sh lumenTestApp
build=build/release

echo "== lumenTestApp against the virtual nRF52 board (sim/scenarios/phone-tracking.json), ${seconds} s"
{
  sleep $((seconds - 1))
  printf s
  sleep 1
} | "$build/testapp/lumenTestApp" -csim/scenarios/phone-tracking.json \
  -u38a094a1-b1a0-472c-bd2f-00243623c016 -u016e9c91-5c83-4eae-b52a-0e7c72201c7b -f5 -v1
