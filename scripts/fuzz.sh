#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one for
# SECONDS (default 60), starting from the corpus kept in fuzz/corpus/<name>.
# With --keep-corpus the grown corpus is then minimised and written back
# there: the hand-made seeds (any file not named by its SHA-1) stay, the rest
# is replaced by a small set of inputs that reaches every edge reached.
# Without it the source tree is left as it was (the test command's smoke run).
set -euo pipefail
cd "$(dirname "$0")/.."
keep=0
if [ "${1:-}" = "--keep-corpus" ]; then
  keep=1
  shift
fi
seconds=${1:-60}

bash scripts/install-deps.sh
build=build/fuzz
CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DLUMEN_SANITIZE=address;undefined" -DLUMEN_BUILD_FUZZ=ON -DLUMEN_BUILD_TESTS=OFF -DLUMEN_BUILD_BENCH=OFF \
  -DLUMEN_BUILD_SIM=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
# Only the fuzzers: the shared library, examples and test program are not run here.
cmake --build "$build" -j "$(nproc)" --target lumen_fuzzers

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
