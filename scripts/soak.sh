#!/usr/bin/env bash
# Chaos soak: an application tracking a phone and reading it twice a second,
# on each virtual radio in real time, under faults of every kind the radio can
# produce at random times drawn from the seed (the same seed gives the same
# schedule). Prints per fault kind how long recovery took and whether the
# process grew; fails when a fault was not recovered or a resource grew.
#
#   bash scripts/soak.sh [--minutes N] [--seed S] [--radio bled112|nrf52] [--log DIR] [--verbose]
#                        [--skip KIND,KIND...] [--together]
#
# Without --radio both radios run, one after the other, N minutes each
# (default 5); with --together at the same time, each report printed whole
# when both have ended. Without --seed a new one is drawn and printed.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=5
seed=""
radios=(bled112 nrf52)
log_dir=""
verbose=()
skip=()
together=0
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --radio)
      case "$2" in bled112 | nrf52) radios=("$2") ;; *) echo "soak.sh: unknown radio $2" >&2; exit 2 ;; esac
      shift 2 ;;
    --log) log_dir=$2; shift 2 ;;
    --verbose) verbose=(--verbose); shift ;;
    --skip) skip=(--skip "$2"); shift 2 ;;
    --together) together=1; shift ;;
    *) echo "usage: bash scripts/soak.sh [--minutes N] [--seed S] [--radio bled112|nrf52] [--log DIR] [--verbose]" \
         "[--skip KIND,KIND...] [--together]" >&2
       exit 2 ;;
  esac
done
if [ -z "$seed" ]; then
  seed=$(( $(date +%s) % 1000000 ))
fi

bash scripts/install-deps.sh
if [ ! -f build/release/build.ninja ]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build/release -j "$(nproc)" --target lumen_soak

soak_radio() {
  local radio=$1
  echo "== soak on the virtual ${radio}: ${minutes} min, seed ${seed}"
  local log=()
  if [ -n "$log_dir" ]; then
    mkdir -p "$log_dir"
    log=(--log "$log_dir/soak-${radio}-${seed}.log")
  fi
  build/release/tests/lumen_soak --radio "$radio" --minutes "$minutes" --seed "$seed" "${log[@]}" "${verbose[@]}" \
    "${skip[@]}"
}

failed=0
if [ "$together" = 1 ]; then
  reports=$(mktemp -d)
  trap 'rm -rf "$reports"' EXIT
  pids=()
  for radio in "${radios[@]}"; do
    soak_radio "$radio" >"$reports/$radio" 2>&1 &
    pids+=($!)
  done
  for i in "${!radios[@]}"; do
    wait "${pids[$i]}" || failed=1
    cat "$reports/${radios[$i]}"
  done
else
  for radio in "${radios[@]}"; do
    soak_radio "$radio" || failed=1
  done
fi
exit "$failed"
