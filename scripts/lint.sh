#!/usr/bin/env bash
# Layout and static checks: clang-format must leave every file unchanged and
# clang-tidy must find nothing in the library and test program sources; no
# C++20 atomic waiting anywhere (scripts/check-no-atomic-wait.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
bash scripts/check-no-atomic-wait.sh

build=${1:-build/release}
if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)"
fi
git ls-files 'src/*.cpp' 'testapp/*.cpp' | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*'
