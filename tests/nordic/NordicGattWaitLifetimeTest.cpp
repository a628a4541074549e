// A GATT call that ends while another link drops: the call's bus handlers may
// still run until the call has unsubscribed them, and everything they touch
// (the call's name among it) must live until then. Meaningful under ASan.
#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "core/Event.h"
#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {


#if defined(__linux__)
// What the thread that ends the read reports through the log, without a lock
// it could block on.
std::atomic<long> g_waitEndedOnThread{0};
std::atomic<Logger::Callback> g_forward{nullptr};

void NoteWaitEnd(Logger::LogType type, const std::string& text) {
  if (const Logger::Callback forward = g_forward.load()) {
    forward(type, text);
  }
  // Told only once the forwarding (which takes a lock) is done.
  if (text == "Event wait terminates because of global reset") {
    g_waitEndedOnThread = static_cast<long>(syscall(SYS_gettid));
  }
}

// Whether the thread sleeps in the kernel: past the end of its wait that can
// only be the bus mutex its unsubscription needs.
bool Sleeping(long tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t end = line.rfind(')');
  return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}
#endif

class NordicGattWaitLifetimeTest : public NordicSimTest {
 protected:
  void SetUp() override {
    OpenBoard();
    m_a = ConnectPhone();
    Advance(5000);  // the public peripheral is in range from now on
    Sdk().ConnectDirect(m_b, {}, AddressOf("00:07:80:11:22:33", Address::Public), 6, 6, 400, 0);
    m_nativeA = static_cast<uint16_t>(details::GetNativeHandle(m_a));
    m_nativeB = static_cast<uint16_t>(details::GetNativeHandle(m_b));
  }

  details::DeviceConnectionHandle m_a;
  details::DeviceConnectionHandle m_b;
  uint16_t m_nativeA = 0;
  uint16_t m_nativeB = 0;
};

TEST_F(NordicGattWaitLifetimeTest, ReadEndingWhileAnotherLinkDropsNeverTouchesFreedState) {
#if !defined(__linux__)
  GTEST_SKIP() << "needs the thread states of /proc";
#else
  ASSERT_EQ(Sdk().ReadLong(m_a, kDeviceNameValue), (std::vector<uint8_t>{'P', 'h', 'o', 'n', 'e', ' ', 'A'}));

  g_waitEndedOnThread = 0;
  g_forward = Logger::callback_.load();
  Logger::SetLogCallback(&NoteWaitEnd);

  // Runs before the read's own disconnect handler (it subscribed first) and
  // holds the bus until the read has ended its wait and is unsubscribing.
  std::atomic<bool> armed{false};
  std::atomic<bool> sawReadBlocked{false};
  auto hold = BusSubscription::Make<unsigned int>("common_evt_disconnect", [&](unsigned int handle) {
    if (handle != m_nativeB || !armed.exchange(false)) {
      return;
    }
    details::Event::SetGlobalReset(true);  // ends the read's wait without an answer
    const auto guard = std::chrono::steady_clock::now() + 20s;
    long tid = 0;
    while ((tid = g_waitEndedOnThread.load()) == 0 && std::chrono::steady_clock::now() < guard) {
      std::this_thread::yield();
    }
    details::Event::SetGlobalReset(false);
    while (tid != 0 && !Sleeping(tid) && std::chrono::steady_clock::now() < guard) {
      std::this_thread::yield();
    }
    sawReadBlocked = tid != 0 && Sleeping(tid);
  });

  Board().Faults().IgnoreNextCall("sd_ble_gattc_read");  // A never answers
  const size_t readsBefore = CountCalls("sd_ble_gattc_read");
  auto read = std::async(std::launch::async, [&] { return Sdk().ReadLong(m_a, kDeviceNameValue); });
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gattc_read", readsBefore + 1, 10s));
  armed = true;
  ASSERT_TRUE(Board().Faults().DropConnection(m_nativeB, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));

  ASSERT_EQ(read.wait_for(30s), std::future_status::ready);
  try {
    read.get();
    ADD_FAILURE() << "read succeeded";
  } catch (const details::NordicLibError& e) {
    EXPECT_EQ(std::string(e.what()),
              "operation timed out, so we terminated the connection (Error: 36865) : Unknown error");
  }
  Logger::SetLogCallback(g_forward.load());
  EXPECT_TRUE(sawReadBlocked);
  EXPECT_TRUE(m_log.Has(Logger::WARNING, "sd_ble_gattc_read sees disconnect for different connection Nordic handle = " +
                                             std::to_string(m_nativeB)));
  EXPECT_FALSE(m_b.IsConnected());
  EXPECT_FALSE(m_a.IsConnected());
#endif
}

}  // namespace
}  // namespace lumen::testing
