#!/usr/bin/env bash
# Runs a command beside a virtual BLED112: starts lumen-sim with its control
# channel and a link to its terminal, exports where both are, runs the
# command, stops the radio and exits with the command's status.
#
#   scripts/with-virtual-bled112.sh --sim PATH [--scenario FILE]
#       [--wine-prefix DIR --com N | --link PATH] -- COMMAND [ARG...]
#
# The command sees
#   LUMEN_TEST_SERIAL_PORT  the port to open: COMN with --wine-prefix, else the link's path
#   LUMEN_TEST_SIM_CONTROL  lumen-sim's control channel, 127.0.0.1:PORT (sim/README.md)
#   WINEPREFIX              with --wine-prefix
# With --wine-prefix the link is DIR/dosdevices/comN, which is how Wine maps
# COMN to the terminal; lumen-sim keeps it pointing at the current terminal
# across re-enumerations and scenario loads. Without --link or --wine-prefix
# the link goes in a temporary directory. Without --scenario the radio starts
# with no peripherals; tests load their own.
set -euo pipefail

usage() {
  sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

sim=''
scenario=''
link=''
prefix=''
com=''
while [ $# -gt 0 ]; do
  case "$1" in
    --sim | --scenario | --link | --wine-prefix | --com)
      [ $# -ge 2 ] || usage
      case "$1" in
        --sim) sim=$2 ;;
        --scenario) scenario=$2 ;;
        --link) link=$2 ;;
        --wine-prefix) prefix=$2 ;;
        --com) com=$2 ;;
      esac
      shift 2
      ;;
    --)
      shift
      break
      ;;
    *) usage ;;
  esac
done
[ $# -gt 0 ] || usage
if [ ! -x "$sim" ]; then
  echo "with-virtual-bled112: --sim must name the lumen-sim program (got '$sim')" >&2
  exit 2
fi

if [ -n "$prefix" ] || [ -n "$com" ]; then
  case "$com" in
    '' | *[!0-9]* | 0) usage ;;
  esac
  if [ -z "$prefix" ] || [ -n "$link" ] || [ "$com" -gt 256 ]; then usage; fi
  mkdir -p "$prefix/dosdevices"
  link="$(cd "$prefix" && pwd)/dosdevices/com$com"
  port="COM$com"
  export WINEPREFIX
  WINEPREFIX="$(cd "$prefix" && pwd)"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/lumen-vbled112.XXXXXX")
if [ -z "$link" ]; then
  link="$work/ttyBLED112"
fi
port=${port:-$link}

sim_pid=''
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local status=$?
  # End of its input stops lumen-sim; a signal only if it does not go.
  exec 9>&- 2>/dev/null || true
  if [ -n "$sim_pid" ]; then
    for _ in $(seq 100); do
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$sim_pid" 2>/dev/null; then
      echo "with-virtual-bled112: lumen-sim did not stop at the end of its input; terminating it" >&2
      kill "$sim_pid" 2>/dev/null || true
    fi
    local sim_status=0
    wait "$sim_pid" || sim_status=$?
    if [ "$sim_status" -ne 0 ]; then
      echo "with-virtual-bled112: lumen-sim exited with status $sim_status:" >&2
      tail -n 20 "$work/stderr" >&2 || true
    fi
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkfifo "$work/stdin"
args=(--control 0 --link "$link")
if [ -n "$scenario" ]; then args+=(--scenario "$scenario"); fi
"$sim" "${args[@]}" <"$work/stdin" >"$work/stdout" 2>"$work/stderr" &
sim_pid=$!
exec 9>"$work/stdin" # lumen-sim runs while this stays open

control=''
for _ in $(seq 300); do
  control=$(sed -n 's/^control //p' "$work/stdout")
  [ -n "$control" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "with-virtual-bled112: lumen-sim ended before its control channel was up:" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  sleep 0.1
done
if [ -z "$control" ]; then
  echo "with-virtual-bled112: lumen-sim did not report its control channel within 30 s" >&2
  exit 1
fi

export LUMEN_TEST_SERIAL_PORT="$port"
export LUMEN_TEST_SIM_CONTROL="$control"
echo "with-virtual-bled112: port $port ($link -> $(readlink "$link")), control $control" >&2

status=0
"$@" || status=$?
exit "$status"
