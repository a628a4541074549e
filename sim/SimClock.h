#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace lumen::sim {

// The virtual radio's time base. In manual mode time stands still until a test
// calls Advance, which runs every timer that falls due, in time order and with
// Now() equal to each timer's due time, before it returns. In real-time mode a
// thread of the clock's own runs the timers as wall time passes; Advance still
// jumps ahead.
class SimClock {
 public:
  using Micros = std::chrono::microseconds;
  using TimerId = uint64_t;
  using Callback = std::function<void(Micros due)>;
  enum class Mode { kManual, kRealTime };

  explicit SimClock(Mode mode = Mode::kManual);
  ~SimClock();
  SimClock(const SimClock&) = delete;
  SimClock& operator=(const SimClock&) = delete;

  Mode GetMode() const { return m_mode; }
  Micros Now() const;
  uint64_t NowMs() const { return static_cast<uint64_t>(Now().count() / 1000); }

  // Moves time forward by `by` and runs what falls due. Timer callbacks must not call Advance.
  void Advance(Micros by);
  void AdvanceMs(uint64_t ms) { Advance(std::chrono::milliseconds(ms)); }

  // A timer at or before Now() runs at the next Advance (or real-time tick).
  TimerId ScheduleAt(Micros at, Callback callback);
  TimerId ScheduleAfter(Micros delay, Callback callback) { return ScheduleAt(Now() + delay, std::move(callback)); }
  void Cancel(TimerId id);
  size_t PendingTimers() const;

  // Ends the real-time thread and drops every timer; later schedules are ignored.
  void Stop();

 private:
  Micros NowLocked() const;
  void RunDue(Micros limit);
  void RealTimeThread();

  const Mode m_mode;
  const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  Micros m_now{0};     // manual mode
  Micros m_offset{0};  // real-time mode: jumps made by Advance
  uint64_t m_nextId = 1;
  std::map<std::pair<Micros, TimerId>, Callback> m_timers;
  std::unordered_map<TimerId, Micros> m_dueById;
  bool m_stopped = false;
  std::mutex m_runMutex;  // one runner of timers at a time
  std::thread m_thread;
};

}  // namespace lumen::sim
