#include "platform/ThreadId.h"

#include <gtest/gtest.h>

#include <thread>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace lumen::details {
namespace {

TEST(ThreadIdTest, EachThreadHasItsOwnStableId) {
  const uint64_t mine = CurrentOsThreadId();
  EXPECT_EQ(CurrentOsThreadId(), mine);
  uint64_t other = 0;
  std::thread([&] { other = CurrentOsThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, mine);
#if defined(_WIN32)
  EXPECT_EQ(mine, static_cast<uint64_t>(GetCurrentThreadId()));
#elif defined(__linux__)
  EXPECT_EQ(mine, static_cast<uint64_t>(syscall(SYS_gettid)));
#endif
}

}  // namespace
}  // namespace lumen::details
