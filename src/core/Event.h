#pragma once

#include <atomic>
#include <boost/core/noncopyable.hpp>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace lumen::details {

// A one-shot signal with a bounded wait. Waits run in 100 ms slices and give
// up early while the process-wide reset flag is raised (radio closed or
// being reset), unless the event is told to ignore it.
class Event : private boost::noncopyable {
 public:
  static constexpr uint32_t kSliceMs = 100;

  Event() = default;
  ~Event();

  void Set();
  void Reset();
  // True if signalled within timeoutMs, rounded up to whole slices. A
  // timeout of 0 returns false without looking. Does not reset the event.
  bool WaitFor(uint32_t timeoutMs);
  void SetIgnoreGlobalReset() { m_ignoreGlobalReset.store(true); }

  static void SetGlobalReset(bool value);
  static bool IsGlobalReset() { return global_reset_.load(); }

 private:
  static std::atomic<bool> global_reset_;

  bool m_signaled = false;
  std::atomic<bool> m_ignoreGlobalReset{false};
  std::mutex m_mutex;
  std::condition_variable m_condition;
};

}  // namespace lumen::details
