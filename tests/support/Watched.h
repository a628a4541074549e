#pragma once

// State that callbacks on the library's threads change and a test waits on.
// Self derives from Watched<Self> and adds the fields.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "support/Guard.h"

namespace lumen::testing {

template <class Self>
struct Watched {
  std::mutex mutex;
  std::condition_variable changed;

  // Blocks until predicate(self) holds; false when the guard ran out first.
  template <class Predicate>
  bool WaitUntil(Predicate predicate, std::chrono::milliseconds guard = kGuard) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, guard, [&] { return predicate(static_cast<Self&>(*this)); });
  }
  // Runs change(self) under the lock and wakes the waiters.
  template <class Change>
  void Note(Change change) {
    {
      std::lock_guard lock(mutex);
      change(static_cast<Self&>(*this));
    }
    changed.notify_all();
  }
};

}  // namespace lumen::testing
