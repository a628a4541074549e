#!/usr/bin/env bash
# Keeps C++20 atomic waiting out of lumen: std::latch, std::barrier, the
# semaphores, atomic wait/notify, and what is built on them (std::jthread and
# the stop tokens, std::atomic<std::shared_ptr>). mingw-w64's libstdc++ has no
# futex and emulates the wait with a condition variable that it checks outside
# its lock, so a waiter can miss its wake-up and sleep for good: suites hung
# under Wine that way. Mutexes and condition variables do the same work.
#
#   scripts/check-no-atomic-wait.sh [BINARY...]
#
# Always searches the sources. Given Windows binaries (.exe, .dll), also
# checks that none holds libstdc++'s waiter pool, which every one of those
# primitives pulls in, however it was spelled.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
pattern='std::(latch|barrier|counting_semaphore|binary_semaphore|jthread|stop_token|stop_source|stop_callback)\b'
pattern+='|#include <(latch|barrier|semaphore|stop_token)>'
pattern+='|atomic<std::(shared_ptr|weak_ptr)'
pattern+='|atomic_(flag_)?(wait|notify_one|notify_all)(_explicit)?\b'
if git grep -nE "$pattern" -- src include sim tests testapp examples bench fuzz; then
  echo "C++20 atomic waiting found in the sources (above): use a mutex and a condition variable" >&2
  status=1
fi

for binary in "$@"; do
  symbols=$(x86_64-w64-mingw32-nm -C "$binary" 2>/dev/null || true)
  if [ -z "$symbols" ]; then
    echo "$binary: no symbols to check" >&2
    status=1
  elif grep -q '__waiter_pool' <<<"$symbols"; then
    echo "$binary: holds libstdc++'s atomic waiter pool (std::latch, semaphore, atomic wait/notify, ...):" >&2
    grep -E '__waiter_pool|__atomic_wait|__atomic_notify' <<<"$symbols" | sed 's/^/  /' >&2
    status=1
  fi
done
exit "$status"
