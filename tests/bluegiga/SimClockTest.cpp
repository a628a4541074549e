#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "sim/SimClock.h"

namespace lumen::sim {
namespace {

using namespace std::chrono_literals;

TEST(SimClockTest, ManualAdvanceRunsDueTimersInOrderAtTheirOwnTime) {
  SimClock clock;
  std::vector<std::pair<int, int64_t>> fired;
  clock.ScheduleAt(30ms, [&](SimClock::Micros) { fired.emplace_back(3, clock.NowMs()); });
  clock.ScheduleAt(10ms, [&](SimClock::Micros due) {
    fired.emplace_back(1, clock.NowMs());
    // A timer set from a timer, still inside the step, runs in the same Advance.
    clock.ScheduleAt(due + 5ms, [&](SimClock::Micros) { fired.emplace_back(2, clock.NowMs()); });
  });
  SimClock::TimerId cancelled = clock.ScheduleAt(20ms, [&](SimClock::Micros) { fired.emplace_back(99, 0); });
  clock.ScheduleAt(31ms, [&](SimClock::Micros) { fired.emplace_back(4, clock.NowMs()); });
  clock.Cancel(cancelled);

  clock.AdvanceMs(30);
  EXPECT_EQ(fired, (std::vector<std::pair<int, int64_t>>{{1, 10}, {2, 15}, {3, 30}}));
  EXPECT_EQ(clock.NowMs(), 30u);
  clock.AdvanceMs(1);
  EXPECT_EQ(fired.back(), (std::pair<int, int64_t>{4, 31}));
  EXPECT_EQ(clock.PendingTimers(), 0u);
}

TEST(SimClockTest, ManualClockNeverMovesOnItsOwn) {
  SimClock clock;
  bool fired = false;
  clock.ScheduleAfter(0ms, [&](SimClock::Micros) { fired = true; });
  EXPECT_EQ(clock.NowMs(), 0u);
  EXPECT_FALSE(fired);
  clock.Advance(0ms);
  EXPECT_TRUE(fired);
}

TEST(SimClockTest, RealTimeClockRunsTimersWithoutBeingStepped) {
  SimClock clock(SimClock::Mode::kRealTime);
  std::promise<SimClock::Micros> firedAt;
  clock.ScheduleAfter(1ms, [&](SimClock::Micros due) { firedAt.set_value(due); });
  auto future = firedAt.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_GE(clock.Now(), future.get());
}

TEST(SimClockTest, StoppedClockDropsTimersAndRefusesNewOnes) {
  SimClock clock(SimClock::Mode::kRealTime);
  clock.ScheduleAfter(1h, [](SimClock::Micros) { FAIL() << "must not run"; });
  clock.Stop();
  EXPECT_EQ(clock.ScheduleAfter(0ms, [](SimClock::Micros) { FAIL() << "must not run"; }), 0u);
  clock.Advance(2h);
}

}  // namespace
}  // namespace lumen::sim
