// The backend on a board as strict as the SoftDevice: connects that name the
// wrong address type fail cleanly, and RSSI reports on every connection
// event neither flood the log nor lose the value.
#include <future>

#include "lumen/NordicLibError.h"
#include "sim/nrf52/Nrf52Events.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

// The phone asks for no other connection parameters: the link keeps the
// minimal 7.5 ms interval.
std::string SteadyLinkScenario() {
  std::string json = NordicScenario();
  const std::string phone = R"("name": "phone",)";
  json.replace(json.find(phone), phone.size(), phone + R"( "requests_on_connect": [],)");
  return json;
}

class NordicStrictBoardTest : public NordicSimTest {
 protected:
  void SetUp() override { OpenBoard(SteadyLinkScenario()); }

  // The connect's error code, or success.
  int ConnectCode(const Address& address) {
    details::DeviceConnectionHandle h;
    try {
      Sdk().ConnectDirect(h, {}, address, 6, 6, 400, 0);
      Sdk().Disconnect(h);
      return NRF_SUCCESS;
    } catch (const details::NordicLibError& e) {
      EXPECT_FALSE(h.IsConnected());
      return e.code();
    }
  }
};

TEST_F(NordicStrictBoardTest, ConnectNamingTheWrongAddressTypeFailsWithoutALink) {
  // Reserved sub-type bits (10): the backend can only guess, and the SoftDevice refuses.
  EXPECT_EQ(ConnectCode(AddressOf("84:10:20:30:40:50", Address::Random)),
            static_cast<int>(sim::nrf52::kErrorGapInvalidBleAddr));
  EXPECT_TRUE(m_log.HasContaining(Logger::WARNING, "has reserved sub-type bits"));

  // The phone's random address taken for a public one: nobody answers.
  NordicSdk().SetConnectTimeoutMsForTesting(200);
  auto connect =
      std::async(std::launch::async, [&] { return ConnectCode(AddressOf("c4:10:20:30:40:50", Address::Public)); });
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gap_connect", 2, 10s));
  Board().Clock().AdvanceMs(200);
  EXPECT_EQ(connect.get(), NRF_ERROR_TIMEOUT);
  EXPECT_TRUE(Board().Snapshot().connections.empty());

  EXPECT_EQ(ConnectCode(AddressOf("c4:10:20:30:40:50", Address::Random)), NRF_SUCCESS);
}

TEST_F(NordicStrictBoardTest, RssiOnEveryConnectionEventIsStoredWithoutFloodingTheLog) {
  const details::DeviceConnectionHandle h = ConnectPhone();  // 7.5 ms interval, steady -55 dBm
  const size_t linesBefore = m_log.Lines().size();
  Advance(1000);  // about 133 connection events
  const size_t lines = m_log.Lines().size() - linesBefore;
  EXPECT_LE(m_log.CountContaining(Logger::DEBUG, "Received updated RSSI"), 3u);
  EXPECT_LE(m_log.CountContaining(Logger::DEBUG, "received an event with ID: 28"), 3u);
  EXPECT_LT(lines, 100u);
  int8_t rssi = 0;
  ASSERT_TRUE(Sdk().GetRSSI(h, &rssi));
  EXPECT_EQ(rssi, -63);  // corrected by -8
  Sdk().Disconnect(h);
}

TEST_F(NordicStrictBoardTest, RssiStillOnTheLineWhenTheLinkClosesIsHandledAndDropped) {
  const details::DeviceConnectionHandle h = ConnectPhone();
  Board().SetLatency(0us, 5ms);
  Board().Clock().AdvanceMs(8);  // the next connection event's report is on the line
  auto disconnect = std::async(std::launch::async, [&] { Sdk().Disconnect(h); });
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gap_disconnect", 1, 10s));
  Advance(10);  // the report arrives for a link being given up, then DISCONNECTED
  disconnect.get();
  EXPECT_FALSE(h.IsConnected());
  EXPECT_TRUE(m_log.HasContaining(Logger::INFO, "successful Nordic disconnect of handle"));
  EXPECT_TRUE(m_log.Lines(Logger::ERROR).empty());
}

}  // namespace
}  // namespace lumen::testing
