// The soak's schedule, statistics and verdict on resources; the soak itself
// (lumen_soak against the virtual radios) is the integration test.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "soak/SoakLogic.h"

namespace lumen::soak {
namespace {

using std::chrono::milliseconds;

std::vector<FaultKind> Kinds() {
  return {{"garbage"},
          {"unplug", milliseconds(2000), milliseconds(6000)},
          {"radio_error"},
          {"silence", milliseconds(3000), milliseconds(3000)}};
}

std::vector<PlannedFault> Draw(uint64_t seed, size_t count) {
  Schedule schedule(seed, Kinds(), milliseconds(2000), milliseconds(6000));
  std::vector<PlannedFault> faults;
  for (size_t i = 0; i < count; ++i) faults.push_back(schedule.Next());
  return faults;
}

bool Same(const std::vector<PlannedFault>& a, const std::vector<PlannedFault>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].gapBefore != b[i].gapBefore || a[i].hold != b[i].hold ||
        a[i].detail != b[i].detail) {
      return false;
    }
  }
  return true;
}

TEST(SoakScheduleTest, TheSameSeedGivesTheSameFaultsAndAnotherSeedOthers) {
  EXPECT_TRUE(Same(Draw(42, 40), Draw(42, 40)));
  EXPECT_FALSE(Same(Draw(42, 40), Draw(43, 40)));
}

TEST(SoakScheduleTest, EveryKindComesOnceInEachRoundWithGapsAndHoldsInTheirBounds) {
  const std::vector<FaultKind> kinds = Kinds();
  const std::vector<PlannedFault> faults = Draw(7, kinds.size() * 25);
  for (size_t round = 0; round < 25; ++round) {
    std::map<size_t, int> seen;
    for (size_t i = 0; i < kinds.size(); ++i) ++seen[faults[round * kinds.size() + i].kind];
    EXPECT_EQ(seen.size(), kinds.size()) << "round " << round;
  }
  for (const PlannedFault& fault : faults) {
    EXPECT_GE(fault.gapBefore, milliseconds(2000));
    EXPECT_LE(fault.gapBefore, milliseconds(6000));
    EXPECT_GE(fault.hold, kinds[fault.kind].minHold);
    EXPECT_LE(fault.hold, std::max(kinds[fault.kind].minHold, kinds[fault.kind].maxHold));
  }
}

TEST(SoakStatisticsTest, PercentilesAreNearestRank) {
  EXPECT_FALSE(Percentile({}, 99));
  EXPECT_EQ(Percentile({3.0}, 99), 3.0);
  // Unsorted on purpose: 1..100 shuffled a little.
  std::vector<double> values;
  for (int i = 100; i >= 1; --i) values.push_back(i);
  EXPECT_EQ(Percentile(values, 50), 50.0);
  EXPECT_EQ(Percentile(values, 99), 99.0);
  EXPECT_EQ(Percentile(values, 100), 100.0);
  // With fewer than 100 values the 99th percentile is the worst.
  EXPECT_EQ(Percentile({0.5, 9.0, 1.0, 2.0}, 99), 9.0);
  EXPECT_EQ(Percentile({0.5, 9.0, 1.0, 2.0}, 50), 1.0);
}

TEST(SoakStatisticsTest, LinesCountUnrecoveredFaultsAndLeaveThemOutOfTheTimes) {
  KindResult unplug{"unplug", 3, {1.25, 4.0}};
  KindResult garbage{"garbage", 2, {0.5, 0.25}};
  const std::string kind = FormatKindLine(unplug);
  EXPECT_NE(kind.find("3 faults,"), std::string::npos) << kind;
  EXPECT_NE(kind.find("2 recovered,"), std::string::npos) << kind;
  EXPECT_NE(kind.find("worst 4.00 s"), std::string::npos) << kind;
  EXPECT_NE(FormatKindLine(KindResult{"silence", 1, {}}).find("median - s"), std::string::npos);
  EXPECT_EQ(FormatSummaryLine({unplug, garbage}, Resources{12, 9, 0}, Resources{12, 10, 0}),
            "soak: 5 faults, 4 recovered, p99 4.00 s, worst 4.00 s, fds 12->12, threads 9->10");
}

TEST(SoakResourcesTest, DescriptorsAndThreadsMayNotGrowAtAllTheHeapOnlyWithinItsAllowance) {
  const Resources start{20, 8, 1000000};
  EXPECT_FALSE(JudgeGrowth(start, start).Grew());
  EXPECT_FALSE(JudgeGrowth(start, Resources{19, 7, 500}).Grew());
  EXPECT_TRUE(JudgeGrowth(start, Resources{21, 8, 1000000}).fdsGrew);
  EXPECT_TRUE(JudgeGrowth(start, Resources{20, 9, 1000000}).threadsGrew);
  EXPECT_FALSE(JudgeGrowth(start, Resources{20, 8, 1000000 + kHeapAllowanceBytes}).Grew());
  EXPECT_TRUE(JudgeGrowth(start, Resources{20, 8, 1000001 + kHeapAllowanceBytes}).heapGrew);
}

}  // namespace
}  // namespace lumen::soak
