// A peer that never answers a GATT request: the SoftDevice reports
// BLE_GATTC_EVT_TIMEOUT 30 s after the request, the backend's own wait gives
// up after 3 s. Whichever comes first, the link is abandoned: disconnected,
// then the call throws.
#include <future>

#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

constexpr const char* kAbandoned =
    "operation timed out, so we terminated the connection (Error: 36865) : Unknown error";
constexpr const char* kGattTimeoutEventId = "Nordic event handler received an event with ID:  59";  // 0x3B

class NordicGattTimeoutOrderTest : public NordicPhoneTest {
 protected:
  void SetUp() override {
    NordicPhoneTest::SetUp();
    ASSERT_TRUE(Board().Faults().TimeOutNextGattProcedure(m_native));
  }

  std::future<std::vector<uint8_t>> StartUnansweredRead() {
    const size_t readsBefore = CountCalls("sd_ble_gattc_read");
    auto read = std::async(std::launch::async, [this] { return Sdk().ReadLong(m_h, kDeviceNameValue); });
    EXPECT_TRUE(Board().WaitForCall("sd_ble_gattc_read", readsBefore + 1, 10s));
    return read;
  }

  void ExpectAbandoned(std::future<std::vector<uint8_t>>& read) {
    ASSERT_EQ(read.wait_for(30s), std::future_status::ready);
    try {
      read.get();
      ADD_FAILURE() << "read succeeded";
    } catch (const details::NordicLibError& e) {
      EXPECT_EQ(e.code(), details::kErrorGeneral);
      EXPECT_EQ(std::string(e.what()), kAbandoned);
    }
    EXPECT_TRUE(m_log.Has(Logger::WARNING, "operation timed out, so disconnect connection and throw exception"));
    EXPECT_FALSE(m_h.IsConnected());
    EXPECT_TRUE(Board().Snapshot().connections.empty());
    EXPECT_EQ(CountCalls("sd_ble_gap_disconnect"), 1u);
  }
};

TEST_F(NordicGattTimeoutOrderTest, BackendWaitEndingFirstAbandonsTheLinkBeforeTheGattTimeout) {
  auto read = StartUnansweredRead();  // the board's clock stands still: only the 3 s wait can end it
  ExpectAbandoned(read);
  EXPECT_TRUE(m_log.Has(Logger::INFO,
                        "no Nordic event was received to complete the call to sd_ble_gattc_read, so this connection "
                        "must no longer be used"));

  // The link is gone, and with it the procedure: its time-out never comes.
  Advance(30000);
  EXPECT_EQ(m_log.Count(Logger::DEBUG, kGattTimeoutEventId), 0u);
}

TEST_F(NordicGattTimeoutOrderTest, GattTimeoutArrivingFirstAbandonsTheLink) {
  Sdk().SetTimeouts(0, 40000);  // the backend now waits longer than the SoftDevice
  auto read = StartUnansweredRead();
  Advance(29999);
  EXPECT_EQ(read.wait_for(0s), std::future_status::timeout);
  EXPECT_TRUE(m_h.IsConnected());

  Advance(1);  // 30 s after the request
  ExpectAbandoned(read);
  EXPECT_EQ(m_log.Count(Logger::DEBUG, kGattTimeoutEventId), 1u);
  EXPECT_TRUE(
      m_log.Has(Logger::WARNING, "sd_ble_gattc_read got BLE_GATTC_EVT_TIMEOUT on handle  " + std::to_string(m_native)));
  EXPECT_TRUE(m_log.Has(Logger::INFO,
                        "Nordic event BLE_GATTC_EVT_TIMEOUT received for sd_ble_gattc_read, so this connection must "
                        "no longer be used"));
}

}  // namespace
}  // namespace lumen::testing
