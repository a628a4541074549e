#include "core/Event.h"

#include <chrono>

#include "core/Log.h"

#if defined(__SANITIZE_THREAD__)
#define LUMEN_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LUMEN_THREAD_SANITIZER 1
#endif
#endif
#ifdef LUMEN_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace lumen::details {

std::atomic<bool> Event::global_reset_{false};

// Commands wait on events on the stack, so the next command's locals reuse
// their addresses; std::mutex ends without telling ThreadSanitizer, which
// would then take an unrelated mutex at that address for this one and report
// lock orders that never meet.
Event::~Event() {
#ifdef LUMEN_THREAD_SANITIZER
  __tsan_mutex_destroy(&m_mutex, 0);
#endif
}

void Event::Set() {
  std::lock_guard lock(m_mutex);
  m_signaled = true;
  m_condition.notify_one();
}

void Event::Reset() {
  std::lock_guard lock(m_mutex);
  m_signaled = false;
}

bool Event::WaitFor(uint32_t timeoutMs) {
  std::unique_lock lock(m_mutex);
  for (uint32_t elapsed = 0;; elapsed += kSliceMs) {
    if (global_reset_.load() && !m_ignoreGlobalReset.load()) {
      Log(kWarning, "Event wait terminates because of global reset");
      return false;
    }
    if (elapsed >= timeoutMs) {
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSliceMs);
    if (m_condition.wait_until(lock, deadline, [this] { return m_signaled; })) {
      return true;
    }
  }
}

void Event::SetGlobalReset(bool value) {
  global_reset_.store(value);
  Log(kInfo, "Event::global_reset_ = ", value ? "true" : "false");
}

}  // namespace lumen::details
