#!/usr/bin/env bash
# Keeps the exported headers portable to every compiler an application may use,
# MSVC included, which cannot run here:
#  - each header compiles on its own, as strict ISO C++20 (-pedantic-errors and
#    clang's -Wgnu reject GCC extensions), with clang for Linux and with mingw-w64
#    for Windows, where LUMEN_API means __declspec(dllimport);
#  - on Windows, with <windows.h> (its ERROR macro and all) before or after them;
#  - no compiler-specific keywords outside Export.h's non-Windows branch, and no
#    `long`, whose width differs between Windows and Linux, in a declaration.
# Usage: check-public-headers.sh [BOOST_INCLUDE_DIR_FOR_MINGW]
set -euo pipefail
cd "$(dirname "$0")/.."

mingw_boost=${1:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
strict=(-std=c++20 -fsyntax-only -Werror -Wall -Wextra -pedantic-errors -Iinclude)
failed=0

all=$work/all.h
: >"$all"
for header in include/lumen/*.h; do
  name=${header#include/}
  printf '#include <%s>\n' "$name" >>"$all"
  printf '#include <%s>\n' "$name" >"$work/alone.cpp"
  clang++ "${strict[@]}" -Wgnu "$work/alone.cpp" || { echo "clang: $name" >&2; failed=1; }
done

if [ -n "$mingw_boost" ]; then
  printf '#include "%s"\n' "$all" >"$work/alone.cpp"
  printf '#include <windows.h>\n#include "%s"\n' "$all" >"$work/windows_first.cpp"
  printf '#include "%s"\n#include <windows.h>\n' "$all" >"$work/windows_after.cpp"
  for unit in alone windows_first windows_after; do
    x86_64-w64-mingw32-g++-posix "${strict[@]}" -isystem "$mingw_boost" "$work/$unit.cpp" ||
      { echo "mingw-w64: exported headers ($unit)" >&2; failed=1; }
  done
fi

# Compiler-specific spellings: only Export.h may hold one, for non-Windows builds.
if grep -nE '__attribute__|__builtin|__extension__|typeof|#pragma GCC|__declspec' include/lumen/*.h |
  grep -v '^include/lumen/Export.h:'; then
  echo "compiler-specific code in an exported header" >&2
  failed=1
fi
# `long` in code, comments aside. Initialize's `unsigned long waitMsec` is the
# one exception: a wait in milliseconds, used only up to 32 bits on every system.
if sed 's://.*$::' include/lumen/*.h | grep -nE '\blong\b' | grep -v 'unsigned long waitMsec'; then
  echo "'long' in an exported declaration" >&2
  failed=1
fi

[ "$failed" -eq 0 ] && echo "exported headers: strict C++20 on clang and mingw-w64, with <windows.h> either side"
exit "$failed"
