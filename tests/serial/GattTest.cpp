// A connection to a phone: discovery, reads, writes and notifications, and
// links that end.
#include <algorithm>

#include "serial/SerialTest.h"

namespace lumen::testing {
namespace {

class GattTest : public SerialTest {
 protected:
  // Collects the notifying characteristic's values.
  void Subscribe() {
    m_notifying->SetCharacteristicChangedCallback([this](const std::vector<uint8_t>& value) {
      {
        std::lock_guard lock(m_mutex);
        m_values.push_back(value);
      }
      m_changed.notify_all();
    });
    m_notifying->EnableCharacteristicNotification(true);
  }

  bool WaitForValues(size_t count) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kGuard, [&] { return m_values.size() >= count; });
  }

  std::vector<Bytes> Values() {
    std::lock_guard lock(m_mutex);
    return m_values;
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<Bytes> m_values;
};

TEST_F(GattTest, ConnectDiscoversTheServicesAndReadsTheValues) {
  Open(PhonesScenario());
  ConnectPhone();
  const auto connections = m_radio->State().at("connections");
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections.at(0).at("peripheral"), "phone");
  EXPECT_TRUE(connections.at(0).at("established").get<bool>());

  const std::vector<Uuid> services = m_phone->GetServiceUuids();
  EXPECT_EQ(services, (std::vector<Uuid>{kGapService, kPhoneService}));
  std::vector<Uuid> characteristics;
  m_phone->GetCharacteristicUUIDs(kPhoneService, characteristics);
  EXPECT_EQ(characteristics, (std::vector<Uuid>{kWritable, kNotifying, kShortValue, kLongValue}));

  EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a});
  EXPECT_EQ(m_long->ReadValue(false), Counting(40)) << "a long read assembles every part";
  EXPECT_EQ(m_long->ReadValue(true), Counting(22)) << "a short read of a long value is its first part";
}

TEST_F(GattTest, WriteReachesThePeerAndItsNotificationsReachTheCallback) {
  Open(PhonesScenario());
  ConnectPhone();
  Subscribe();
  const auto subscribe = m_radio->WaitForCommand("attclient_attribute_write", kGuard);
  ASSERT_TRUE(subscribe);
  EXPECT_EQ(subscribe->Array("data"), (Bytes{0x01, 0x00})) << "the client configuration asks for notifications";

  m_writable->WriteValue({0x07}, true, false);
  const auto write = m_radio->WaitForCommand("attclient_write_command", kGuard);
  ASSERT_TRUE(write);
  EXPECT_EQ(write->Array("data"), Bytes{0x07});
  ASSERT_TRUE(WaitForValues(3));
  EXPECT_EQ(Values(), (std::vector<Bytes>{{0x01, 0x01}, {0x01, 0x02}, {0x01, 0x03}}));

  ASSERT_TRUE(m_radio->Notify("phone", kNotifyingText, {0xc0, 0xff, 0xee}));
  ASSERT_TRUE(WaitForValues(4));
  EXPECT_EQ(Values().back(), (Bytes{0xc0, 0xff, 0xee}));
}

TEST_F(GattTest, DisconnectEndsTheLinkOnTheRadioAndTheDeviceReconnects) {
  Open(PhonesScenario());
  ConnectPhone();
  std::vector<TimestampedRSSI> rssi;
  EXPECT_TRUE(m_phone->GetRSSIFromConnection(rssi));
  ASSERT_FALSE(rssi.empty());
  EXPECT_LT(rssi.back().rssi, 0);

  m_phone->Disconnect();
  EXPECT_FALSE(m_phone->IsConnected());
  EXPECT_TRUE(m_radio->State().at("connections").empty());
  ConnectPhone();
  EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a});
}

TEST_F(GattTest, LinkDroppedByThePeerShowsAsDisconnected) {
  Open(PhonesScenario());
  ConnectPhone();
  ASSERT_TRUE(m_radio->DropConnection(RadioConnection(), 0x0208));
  Barrier();
  EXPECT_FALSE(m_phone->IsConnected());
  const Outcome stale = OutcomeOf([&] { m_short->ReadValue(true); });
  EXPECT_EQ(stale.type, "KesBluetoothSDKLibError") << stale.what;
  EXPECT_EQ(m_radio->CommandCount("attclient_read_by_handle"), 0u) << "nothing is sent for a closed link";

  ConnectPhone();
  EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a});
  EXPECT_EQ(HardwareFailures(), 0);
}

TEST_F(GattTest, LinkDroppedDuringAReadFailsItAsDisconnected) {
  Open(PhonesScenario());
  ConnectPhone();
  ASSERT_TRUE(m_radio->DisconnectDuringNextGattProcedure(RadioConnection()));
  ExpectRadioError(OutcomeOf([&] { m_short->ReadValue(true); }), "wait for ble_cmd_attclient_read_by_handle failed",
                   kDisconnectedCode);
  Barrier();
  EXPECT_FALSE(m_phone->IsConnected());
  ConnectPhone();
  EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a});
}

}  // namespace
}  // namespace lumen::testing
