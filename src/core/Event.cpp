#include "core/Event.h"

#include <chrono>

#include "core/Log.h"

namespace lumen::details {

std::atomic<bool> Event::global_reset_{false};

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
