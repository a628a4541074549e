// Connecting: the peer's address type, the two ways an attempt ends without a
// link, and a link that must not be left behind when taking it over fails.
#include <future>

#include "core/ConnectionTable.h"
#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

class NordicConnectTest : public NordicSimTest {
 protected:
  void SetUp() override { OpenBoard(); }

  std::optional<sim::Nrf52ConnectionInfo> ConnectionOf(const std::string& peripheral) {
    for (const auto& connection : Board().Snapshot().connections) {
      if (connection.peripheral == peripheral) {
        return connection;
      }
    }
    return std::nullopt;
  }
};

TEST_F(NordicConnectTest, PeerAddressTypeFollowsTheRandomSubTypeBits) {
  Advance(5000);  // everyone is in range
  const std::vector<std::tuple<std::string, std::string, Address::Type, int>> peers = {
      {"phone", "c4:10:20:30:40:50", Address::Random, BLE_GAP_ADDR_TYPE_RANDOM_STATIC},
      {"resolvable", "44:11:22:33:44:55", Address::Random, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE},
      {"non-resolvable", "04:11:22:33:44:56", Address::Random, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_NON_RESOLVABLE},
      {"public", "00:07:80:11:22:33", Address::Public, BLE_GAP_ADDR_TYPE_PUBLIC}};
  for (const auto& [name, text, type, expected] : peers) {
    details::DeviceConnectionHandle h;
    Sdk().ConnectDirect(h, {}, AddressOf(text, type), 6, 6, 500, 0);
    const auto connection = ConnectionOf(name);
    ASSERT_TRUE(connection.has_value()) << name;
    EXPECT_EQ(connection->peerAddrType, expected) << name;
    EXPECT_TRUE(connection->rssiReporting);
  }
}

TEST_F(NordicConnectTest, ConnectionTimeoutEventFailsWithTimeoutCode) {
  NordicSdk().SetConnectTimeoutMsForTesting(2000);
  details::DeviceConnectionHandle h;
  auto connect = std::async(std::launch::async, [&] {
    Sdk().ConnectDirect(h, {}, AddressOf("c0:00:00:00:00:01", Address::Random), 6, 6, 400, 0);
  });
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gap_connect", 1, 10s));
  Board().Clock().AdvanceMs(2000);  // the SoftDevice gives up: BLE_GAP_EVT_TIMEOUT, source CONN
  try {
    connect.get();
    FAIL() << "connect succeeded";
  } catch (const details::NordicLibError& e) {
    EXPECT_EQ(e.code(), NRF_ERROR_TIMEOUT);
  }
  EXPECT_EQ(CountCalls("sd_ble_gap_connect_cancel"), 0u);
  EXPECT_FALSE(h.IsConnected());
}

TEST_F(NordicConnectTest, ConnectWithoutAnyEventIsCancelled) {
  NordicSdk().SetConnectTimeoutMsForTesting(100);
  Board().Faults().IgnoreNextCall("sd_ble_gap_connect");
  details::DeviceConnectionHandle h;
  try {
    Sdk().ConnectDirect(h, {}, AddressOf("c4:10:20:30:40:50", Address::Random), 6, 6, 400, 0);
    FAIL() << "connect succeeded";
  } catch (const details::NordicLibError& e) {
    EXPECT_EQ(e.code(), NRF_ERROR_TIMEOUT);
    EXPECT_STREQ(e.what(), "Nordic sd_ble_gap_connect failed (Error: 13) : 0x000d NRF_ERROR_TIMEOUT");
  }
  EXPECT_EQ(CountCalls("sd_ble_gap_connect_cancel"), 1u);
  EXPECT_TRUE(Board().Snapshot().connections.empty());
}

TEST_F(NordicConnectTest, LinkThatCannotBeTakenOverIsDisconnected) {
  details::DeviceConnectionHandle h;
  h.Connect(0x77);  // already bound: binding the new link fails
  EXPECT_THROW(Sdk().ConnectDirect(h, {}, AddressOf("c4:10:20:30:40:50", Address::Random), 6, 6, 400, 0),
               details::KesBluetoothSDKLibError);
  EXPECT_TRUE(Board().Snapshot().connections.empty());
  EXPECT_EQ(details::GetNativeHandle(h), 0x77u);  // the other binding is left alone
  details::RemoveConnection(h);
}

TEST_F(NordicConnectTest, RssiComesFromAdvertisementsThenFromTheLinkCorrected) {
  // The link's own reports start later than the board would send its first one.
  Board().Faults().IgnoreNextCall("sd_ble_gap_rssi_start");
  details::DeviceConnectionHandle h;
  Sdk().ConnectDirect(h, {TimestampedRSSI{1, -70, false}, TimestampedRSSI{2, -66, false}},
                      AddressOf("c4:10:20:30:40:50", Address::Random), 6, 6, 400, 0);
  int8_t rssi = 0;
  ASSERT_TRUE(Sdk().GetRSSI(h, &rssi));
  EXPECT_EQ(rssi, -66);

  ble_evt_t event{};
  event.header.evt_id = BLE_GAP_EVT_RSSI_CHANGED;
  event.header.evt_len = sizeof event;
  event.evt.gap_evt.conn_handle = static_cast<uint16_t>(details::GetNativeHandle(h));
  event.evt.gap_evt.params.rssi_changed.rssi = -124;
  Inject(event);
  ASSERT_TRUE(Sdk().GetRSSI(h, &rssi));
  EXPECT_EQ(rssi, -128);
  Sdk().Disconnect(h);
  EXPECT_FALSE(h.IsConnected());
}

}  // namespace
}  // namespace lumen::testing
