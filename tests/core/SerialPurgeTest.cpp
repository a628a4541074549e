#include "platform/SerialPurge.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace lumen::details {
namespace {

// A real pseudo-terminal in raw mode: the slave side plays the serial port.
class SerialPurgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openpty(&m_master, &m_slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    ASSERT_EQ(tcgetattr(m_slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(m_slave, TCSANOW, &raw), 0);
  }
  void TearDown() override {
    close(m_master);
    close(m_slave);
  }

  int Pending() const {
    int count = -1;
    EXPECT_EQ(ioctl(m_slave, FIONREAD, &count), 0);
    return count;
  }

  // The line discipline moves bytes over asynchronously: wait until all of
  // them are readable (the deadline only guards against a hang).
  bool WaitUntilPending(int expected) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd fd{m_slave, POLLIN, 0};
      if (poll(&fd, 1, 1000) > 0 && Pending() >= expected) {
        return Pending() == expected;
      }
      std::this_thread::yield();
    }
    return false;
  }

  int m_master = -1;
  int m_slave = -1;
};

TEST_F(SerialPurgeTest, DiscardsUnreadInputAndLeavesThePortUsable) {
  const std::string stray = "\x80\x02stray";
  ASSERT_EQ(write(m_master, stray.data(), stray.size()), static_cast<ssize_t>(stray.size()));
  ASSERT_TRUE(WaitUntilPending(static_cast<int>(stray.size())));

  EXPECT_TRUE(PurgeReceiveBuffer(m_slave));
  EXPECT_EQ(Pending(), 0);

  ASSERT_EQ(write(m_master, "Z", 1), 1);
  ASSERT_TRUE(WaitUntilPending(1));
  char got[8] = {};
  EXPECT_EQ(read(m_slave, got, sizeof got), 1);
  EXPECT_EQ(got[0], 'Z');
}

TEST_F(SerialPurgeTest, EmptyInputPurgesFine) { EXPECT_TRUE(PurgeReceiveBuffer(m_slave)); }

TEST_F(SerialPurgeTest, InvalidHandleReportsFailure) {
  EXPECT_FALSE(PurgeReceiveBuffer(-1));
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  EXPECT_FALSE(PurgeReceiveBuffer(pipeFds[0]));  // not a terminal
  close(pipeFds[0]);
  close(pipeFds[1]);
}

}  // namespace
}  // namespace lumen::details

#endif
