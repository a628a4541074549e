// Sessions of open, scan, connect, read and close must leave nothing behind:
// no descriptor, no thread, no heap block. (bench/LibraryCycleBench.cpp runs
// the same session a thousand times and reports the figures.)
#include <gtest/gtest.h>

#include "support/LibraryCycle.h"

namespace lumen::testing {
namespace {

// Until the caches of the library, the runtime and the allocator (its
// per-thread caches count as in use) have filled.
constexpr int kWarmUpCycles = 100;
constexpr int kMeasuredCycles = 200;
// The allocator's drift after the warm-up stays within about 2 KiB; one
// leaked block of 40 bytes a session goes beyond this.
constexpr size_t kHeapSlackBytes = 8192;

TEST(LibraryCycleLeakTest, RepeatedSessionsLeaveNoDescriptorThreadOrHeapBehind) {
  LibraryCycle cycle;
  for (int i = 0; i < kWarmUpCycles; ++i) {
    ASSERT_EQ(cycle.Run(), "") << "warm-up session " << i;
  }
  const ProcessResources before = MeasureProcess();
  for (int i = 0; i < kMeasuredCycles; ++i) {
    ASSERT_EQ(cycle.Run(), "") << "session " << i;
  }
  const ProcessResources after = MeasureProcess();

  EXPECT_EQ(after.fds, before.fds);
  EXPECT_EQ(after.threads, before.threads);
  EXPECT_LE(after.heapBytes, before.heapBytes + kHeapSlackBytes)
      << "grew by " << (after.heapBytes - before.heapBytes) << " bytes over " << kMeasuredCycles << " sessions";
}

}  // namespace
}  // namespace lumen::testing
