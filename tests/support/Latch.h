#pragma once

// A one-shot countdown for tests, on a mutex and a condition variable.
// The standard latch is not used: with mingw-w64's libstdc++ (no futex) its wait
// checks the count outside the lock that its wake-up is sent under, so a
// waiter can sleep through the last count_down and hang for good.

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace lumen::testing {

class Latch {
 public:
  explicit Latch(std::ptrdiff_t count) : m_count(count) {}
  Latch(const Latch&) = delete;
  Latch& operator=(const Latch&) = delete;

  void CountDown() {
    std::lock_guard lock(m_mutex);
    if (m_count > 0 && --m_count == 0) {
      m_reachedZero.notify_all();
    }
  }

  void Wait() {
    std::unique_lock lock(m_mutex);
    m_reachedZero.wait(lock, [this] { return m_count == 0; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_reachedZero;
  std::ptrdiff_t m_count;
};

}  // namespace lumen::testing
