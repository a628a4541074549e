// A CONNECTED event the event thread has taken but cannot publish in time
// (an application callback holds the bus) arrives after the connect has
// given up: the link it brings belongs to nobody and must be closed.
#include <future>
#include <thread>

#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

// A slow application callback: a handler on another thread that keeps the
// bus until released.
class BusHolder {
 public:
  BusHolder() {
    m_subscription = BusSubscription::Make<void*>("test_slow_callback", [this](void*) {
      m_entered.set_value();
      m_release.get_future().wait();
    });
  }
  ~BusHolder() {
    Release();
    if (m_thread.joinable()) {
      m_thread.join();
    }
  }
  void Hold() {
    m_thread = std::thread([] { details::Publish<void*>("test_slow_callback", nullptr); });
    m_entered.get_future().wait();
  }
  void Release() {
    if (!m_released) {
      m_released = true;
      m_release.set_value();
    }
  }

 private:
  std::promise<void> m_entered;
  std::promise<void> m_release;
  bool m_released = false;
  std::thread m_thread;
  std::unique_ptr<BusSubscription> m_subscription;
};

class NordicLateConnectedTest : public NordicSimTest {
 protected:
  void SetUp() override { OpenBoard(); }
};

TEST_F(NordicLateConnectedTest, LateConnectedEventNeverLeavesAnOrphanLink) {
  NordicSdk().SetConnectTimeoutMsForTesting(100);
  NordicSdk().SetConnectedEventWaitMsForTesting(100);
  Board().SetLatency(0us, 5ms);
  BusHolder holder;
  details::DeviceConnectionHandle h;
  auto connect = std::async(std::launch::async, [&] {
    Sdk().ConnectDirect(h, {}, AddressOf("c4:10:20:30:40:50", Address::Random), 6, 6, 400, 0);
  });
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gap_connect", 1, 10s));
  ASSERT_EQ(Board().Snapshot().connections.size(), 1u);  // up on the air, CONNECTED on its way
  holder.Hold();
  Board().Clock().AdvanceMs(5);  // the event thread takes CONNECTED and waits for the bus
  // The connect gives up; its cancel comes too late to stop anything.
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gap_connect_cancel", 1, 10s));
  holder.Release();
  try {
    connect.get();
    FAIL() << "connect succeeded";
  } catch (const details::NordicLibError& e) {
    EXPECT_EQ(e.code(), NRF_ERROR_TIMEOUT);
  }
  EXPECT_FALSE(h.IsConnected());
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gap_disconnect", 1, 10s));
  Advance(5);
  EXPECT_TRUE(Board().Snapshot().connections.empty());
}

TEST_F(NordicLateConnectedTest, ConnectedEventInTimeStillGivesTheLinkToTheCaller) {
  Board().SetLatency(0us, 5ms);
  details::DeviceConnectionHandle h;
  auto connect = std::async(std::launch::async, [&] {
    Sdk().ConnectDirect(h, {}, AddressOf("c4:10:20:30:40:50", Address::Random), 6, 6, 400, 0);
  });
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gap_connect", 1, 10s));
  Board().Clock().AdvanceMs(5);
  connect.get();
  EXPECT_TRUE(h.IsConnected());
  EXPECT_EQ(CountCalls("sd_ble_gap_disconnect"), 0u);
  EXPECT_EQ(Board().Snapshot().connections.size(), 1u);
}

}  // namespace
}  // namespace lumen::testing
