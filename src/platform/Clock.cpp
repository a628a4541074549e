#include "platform/Clock.h"

#include <atomic>
#include <chrono>

#if defined(_WIN32)
#include "platform/WindowsApi.h"
#else
#include <ctime>
#endif

namespace lumen::details {
namespace {

std::atomic<ClockFunction> g_steadyOverride{nullptr};
std::atomic<ClockFunction> g_systemOverride{nullptr};

int64_t RealSteadyMilliseconds() {
#if defined(_WIN32)
  // Split the division so counter * 1e9 cannot overflow for long uptimes.
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  const int64_t nanoseconds = (counter.QuadPart / frequency.QuadPart) * 1000000000LL +
                              (counter.QuadPart % frequency.QuadPart) * 1000000000LL / frequency.QuadPart;
  return nanoseconds / 1000000;
#else
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}

int64_t RealSystemClockTicks() {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, kSystemTicksPerSecond>>;
  return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

int64_t SteadyMilliseconds() {
  const ClockFunction clock = g_steadyOverride.load(std::memory_order_relaxed);
  return clock != nullptr ? clock() : RealSteadyMilliseconds();
}

int64_t SystemClockTicks() {
  const ClockFunction clock = g_systemOverride.load(std::memory_order_relaxed);
  return clock != nullptr ? clock() : RealSystemClockTicks();
}

void SetSteadyClockForTesting(ClockFunction clock) { g_steadyOverride.store(clock); }
void SetSystemClockForTesting(ClockFunction clock) { g_systemOverride.store(clock); }

}  // namespace lumen::details
