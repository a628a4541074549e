#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one for
# SECONDS (default 60), starting from the corpus kept in fuzz/corpus/<name>.
# With --keep-corpus the grown corpus is then minimised and written back
# there: the hand-made seeds (any file not named by its SHA-1) stay, the rest
# is replaced by a small set of inputs that reaches every edge reached.
# Without it the source tree is left as it was (the test command's smoke run),
# and the targets run side by side, one per core, each report printed whole.
# --build-only builds the targets and stops. --built DIR runs the targets an
# ASan build with -DLUMEN_BUILD_FUZZ=ON has already made in DIR (the test
# command's sanitizer leg), building nothing.
#
#   bash scripts/fuzz.sh [--keep-corpus | --build-only | --built DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
keep=0
build_only=0
build=build/fuzz
built=0
case "${1:-}" in
  --keep-corpus) keep=1; shift ;;
  --build-only) build_only=1; shift ;;
  --built) build=${2:?--built needs a build folder}; built=1; shift 2 ;;
esac
seconds=${1:-60}

if [ "$built" = 0 ]; then
  bash scripts/install-deps.sh
  CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DLUMEN_SANITIZE=address;undefined" -DLUMEN_BUILD_FUZZ=ON -DLUMEN_BUILD_TESTS=OFF -DLUMEN_BUILD_BENCH=OFF \
    -DLUMEN_BUILD_SIM=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
  # Only the fuzzers: the shared library, examples and test program are not run here.
  cmake --build "$build" -j "$(nproc)" --target lumen_fuzzers
elif ! compgen -G "$build/fuzz/*_fuzzer" >/dev/null; then
  echo "no fuzz targets in $build/fuzz: configure it with CXX=clang++ -DLUMEN_BUILD_FUZZ=ON" >&2
  exit 2
fi
[ "$build_only" = 0 ] || exit 0

if [ "$keep" = 0 ]; then
  reports=$(mktemp -d)
  trap 'rm -rf "$reports"' EXIT
  names=()
  pids=()
  failed=0
  finish_batch() {
    local i status
    for i in "${!names[@]}"; do
      status=0
      wait "${pids[$i]}" || status=$?
      echo "== ${names[$i]} for ${seconds}s"
      if [ "$status" -ne 0 ]; then
        cat "${reports}/${names[$i]}"
        failed=1
      else
        grep -E "^stat::|^Done" "${reports}/${names[$i]}" || true
      fi
    done
    names=()
    pids=()
  }
  for fuzzer in "$build"/fuzz/*_fuzzer; do
    name=$(basename "$fuzzer")
    corpus="$build/corpus/$name"
    mkdir -p "$corpus"
    cp -n "fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null || true
    # Crash reproducers land in the build dir, not in the source tree.
    "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/$name-" "$corpus" \
      >"$reports/$name" 2>&1 &
    names+=("$name")
    pids+=($!)
    # As many at once as there are cores.
    [ "${#pids[@]}" -lt "$(nproc)" ] || finish_batch
  done
  finish_batch
  exit "$failed"
fi

for fuzzer in "$build"/fuzz/*_fuzzer; do
  name=$(basename "$fuzzer")
  kept="fuzz/corpus/$name"
  corpus="$build/corpus/$name"
  mkdir -p "$corpus" "$kept"
  cp -n "$kept"/* "$corpus"/ 2>/dev/null || true
  echo "== $name for ${seconds}s"
  # Crash reproducers land in the build dir, not in the source tree.
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/$name-" "$corpus"
  [ "$keep" = 1 ] || continue

  merged="$build/merged/$name"
  rm -rf "$merged"
  mkdir -p "$merged"
  find "$kept" -maxdepth 1 -type f -regextype posix-extended ! -regex '.*/[0-9a-f]{40}' -exec cp {} "$merged"/ \;
  # Without counters only new edges count, which keeps a few hundred inputs
  # rather than thousands; the full corpus stays in the build dir.
  "$fuzzer" -merge=1 -use_counters=0 "$merged" "$corpus" >"$build/merge-$name.log" 2>&1 || {
    cat "$build/merge-$name.log"
    exit 1
  }
  find "$kept" -maxdepth 1 -type f -regextype posix-extended -regex '.*/[0-9a-f]{40}' -delete
  find "$merged" -maxdepth 1 -type f -exec cp -n {} "$kept"/ \;
  echo "== $name corpus: $(find "$kept" -type f | wc -l) files, $(du -sk "$kept" | cut -f1) KiB"
done
