#pragma once

#include <cstdint>

namespace lumen::details {

// Steady milliseconds: RSSI samples, advertisement times, cache windows.
int64_t SteadyMilliseconds();
// 100 ns units since 1 January 1970: job, disconnect and attempt times.
int64_t SystemClockTicks();

constexpr int64_t kSystemTicksPerSecond = 10'000'000;
constexpr int64_t kSystemTicksPerMs = 10'000;

// Test seam: replace either clock with a function the test drives; null
// restores the real clock.
using ClockFunction = int64_t (*)();
void SetSteadyClockForTesting(ClockFunction clock);
void SetSystemClockForTesting(ClockFunction clock);

}  // namespace lumen::details
