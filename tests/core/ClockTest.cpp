#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace lumen::details {
namespace {

std::atomic<int64_t> g_fakeSteady{0};
std::atomic<int64_t> g_fakeSystem{0};
int64_t FakeSteady() { return g_fakeSteady.load(); }
int64_t FakeSystem() { return g_fakeSystem.load(); }

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetSteadyClockForTesting(nullptr);
    SetSystemClockForTesting(nullptr);
  }
};

TEST_F(ClockTest, SteadyMillisecondsNeverGoBackwards) {
  int64_t previous = SteadyMilliseconds();
  for (int i = 0; i < 10000; ++i) {
    const int64_t now = SteadyMilliseconds();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

TEST_F(ClockTest, SteadyMillisecondsFollowTheMonotonicClock) {
  using namespace std::chrono;
  const int64_t before = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  const int64_t ours = SteadyMilliseconds();
  const int64_t after = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  EXPECT_GE(ours, before - 1);
  EXPECT_LE(ours, after + 1);
}

TEST_F(ClockTest, SystemTicksAreHundredNanosecondsSinceTheUnixEpoch) {
  using namespace std::chrono;
  const int64_t before = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() * 10;
  const int64_t ticks = SystemClockTicks();
  const int64_t after = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() * 10 + 10;
  EXPECT_GE(ticks, before);
  EXPECT_LE(ticks, after);
  EXPECT_EQ(kSystemTicksPerSecond, 1000 * kSystemTicksPerMs);
  // Later than 2020-01-01: catches a wrong epoch or unit.
  EXPECT_GT(ticks / kSystemTicksPerSecond, 1577836800);
}

#if defined(_WIN32)
// Checked against the Windows calls themselves, not against std::chrono, which
// may sit on the same code.
int64_t PerformanceCounterMilliseconds() {
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<int64_t>(static_cast<long double>(counter.QuadPart) * 1000 / frequency.QuadPart);
}

int64_t FileTimeTicksSince1970() {
  constexpr int64_t kTicksFrom1601To1970 = 116444736000000000;
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) -
         kTicksFrom1601To1970;
}

TEST_F(ClockTest, SteadyMillisecondsComeFromThePerformanceCounter) {
  const int64_t before = PerformanceCounterMilliseconds();
  const int64_t ours = SteadyMilliseconds();
  const int64_t after = PerformanceCounterMilliseconds();
  EXPECT_GE(ours, before - 1);
  EXPECT_LE(ours, after + 1);
}

TEST_F(ClockTest, SystemTicksMatchTheWindowsFileTimeMovedToTheUnixEpoch) {
  const int64_t before = FileTimeTicksSince1970();
  const int64_t ticks = SystemClockTicks();
  const int64_t after = FileTimeTicksSince1970();
  // std::chrono may read the coarse system time (a 15.6 ms tick on Windows).
  EXPECT_GE(ticks, before - 20 * kSystemTicksPerMs);
  EXPECT_LE(ticks, after + 20 * kSystemTicksPerMs);
}
#endif

TEST_F(ClockTest, TestClocksReplaceAndRestoreTheRealOnes) {
  g_fakeSteady = 42;
  g_fakeSystem = 7 * kSystemTicksPerSecond;
  SetSteadyClockForTesting(&FakeSteady);
  SetSystemClockForTesting(&FakeSystem);
  EXPECT_EQ(SteadyMilliseconds(), 42);
  EXPECT_EQ(SystemClockTicks(), 7 * kSystemTicksPerSecond);
  g_fakeSteady += 15000;
  EXPECT_EQ(SteadyMilliseconds(), 15042);

  SetSteadyClockForTesting(nullptr);
  SetSystemClockForTesting(nullptr);
  EXPECT_GT(SteadyMilliseconds(), 0);
  EXPECT_GT(SystemClockTicks(), 7 * kSystemTicksPerSecond);
}

}  // namespace
}  // namespace lumen::details
