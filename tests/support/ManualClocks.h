#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/Clock.h"

namespace lumen::testing {

// Drives both library clocks by hand for one test; the real clocks come back
// afterwards. Starts well away from zero so windows can be subtracted.
class ManualClocks {
 public:
  static constexpr int64_t kStartSteadyMs = 10'000'000;
  static constexpr int64_t kStartSystemTicks =
      41'000'000'000'000'000;  // about 2099: after any real time a test may record
  static constexpr int64_t kDayMs = 86'400'000;

  ManualClocks() {
    // A day after the latest time an earlier test reached: the process-wide
    // times tests leave behind (last connection attempt, advertiser stop) are
    // then never recent, whatever order the tests run in.
    steadyMs_.store(std::max(kStartSteadyMs, steadyMs_.load() + kDayMs));
    systemTicks_.store(std::max(kStartSystemTicks, systemTicks_.load() + kDayMs * details::kSystemTicksPerMs));
    startSystemTicks_.store(systemTicks_.load());
    details::SetSteadyClockForTesting(&SteadyNow);
    details::SetSystemClockForTesting(&SystemNow);
  }
  ~ManualClocks() {
    details::SetSteadyClockForTesting(nullptr);
    details::SetSystemClockForTesting(nullptr);
  }
  ManualClocks(const ManualClocks&) = delete;
  ManualClocks& operator=(const ManualClocks&) = delete;

  static int64_t SteadyMs() { return steadyMs_.load(); }
  // The system time this test's clocks started at.
  static int64_t StartSystemTicks() { return startSystemTicks_.load(); }
  static int64_t SystemTicks() { return systemTicks_.load(); }
  static void AdvanceSteadyMs(int64_t ms) { steadyMs_ += ms; }
  static void AdvanceSystemTicks(int64_t ticks) { systemTicks_ += ticks; }
  // Both clocks together, as real time passes.
  static void AdvanceMs(int64_t ms) {
    AdvanceSteadyMs(ms);
    AdvanceSystemTicks(ms * details::kSystemTicksPerMs);
  }

 private:
  static int64_t SteadyNow() { return steadyMs_.load(); }
  static int64_t SystemNow() { return systemTicks_.load(); }

  static inline std::atomic<int64_t> steadyMs_{0};
  static inline std::atomic<int64_t> systemTicks_{0};
  static inline std::atomic<int64_t> startSystemTicks_{0};
};

}  // namespace lumen::testing
