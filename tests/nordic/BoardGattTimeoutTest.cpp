// The virtual board after a GATT client time-out, as a SoftDevice behaves:
// until BLE_GATTC_EVT_TIMEOUT the timed-out procedure still runs (busy), from
// then on every client call on the link, indication confirmations included,
// fails with NRF_ERROR_TIMEOUT.
#include "tests/nordic/BoardTestSupport.h"

namespace lumen::test::nrf52 {
namespace {

constexpr uint16_t kDeviceName = 3;
constexpr uint16_t kTimeValue = 15;          // 2a2b, indicate
constexpr uint16_t kTimeConfiguration = 16;  // its client configuration
constexpr uint16_t kWritable = 19;           // a3c87501, write and write without response

class BoardGattTimeoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session.OpenEnabled();
    conn = ConnectPhone(session);
  }

  uint32_t Write(uint8_t op, uint16_t handle, const Bytes& value) {
    ble_gattc_write_params_t params{op, 0, handle, 0, static_cast<uint16_t>(value.size()), value.data()};
    return sd_ble_gattc_write(session.Adapter(), conn, &params);
  }

  // Starts a read the peer never answers and lets the ATT transaction time out.
  void TimeOutARead() {
    ASSERT_TRUE(session.Board().Faults().TimeOutNextGattProcedure(conn));
    ASSERT_EQ(sd_ble_gattc_read(session.Adapter(), conn, kDeviceName, 0), NRF_SUCCESS);
    session.Advance(29999ms);
    session.Settle();
    EXPECT_EQ(session.Pending(BLE_GATTC_EVT_TIMEOUT), 0u);
    // The procedure still runs.
    EXPECT_EQ(sd_ble_gattc_read(session.Adapter(), conn, kDeviceName, 0), static_cast<uint32_t>(NRF_ERROR_BUSY));
    session.Advance(1ms);
    ASSERT_TRUE(session.NextEvent(BLE_GATTC_EVT_TIMEOUT));
  }

  ScenarioFile file{PhonesScenario(R"("requests_on_connect": [],)")};
  BoardSession session{file.Path()};
  uint16_t conn = BLE_CONN_HANDLE_INVALID;
};

TEST_F(BoardGattTimeoutTest, EveryClientCallAfterTheTimeoutEventFailsWithTimeout) {
  TimeOutARead();
  const auto timeout = static_cast<uint32_t>(NRF_ERROR_TIMEOUT);
  EXPECT_EQ(sd_ble_gattc_read(session.Adapter(), conn, kDeviceName, 0), timeout);
  EXPECT_EQ(sd_ble_gattc_primary_services_discover(session.Adapter(), conn, 1, nullptr), timeout);
  ble_gattc_handle_range_t range{1, 0xFFFF};
  EXPECT_EQ(sd_ble_gattc_characteristics_discover(session.Adapter(), conn, &range), timeout);
  EXPECT_EQ(Write(BLE_GATT_OP_WRITE_REQ, kWritable, {1}), timeout);
  EXPECT_EQ(Write(BLE_GATT_OP_WRITE_CMD, kWritable, {1}), timeout);
  EXPECT_EQ(sd_ble_gattc_exchange_mtu_request(session.Adapter(), conn, BLE_GATT_ATT_MTU_DEFAULT), timeout);
  session.Settle();
  EXPECT_EQ(session.Pending(BLE_GATTC_EVT_READ_RSP), 0u);
  EXPECT_EQ(session.Pending(BLE_GATTC_EVT_WRITE_RSP), 0u);
  EXPECT_EQ(session.Pending(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE), 0u);
}

TEST_F(BoardGattTimeoutTest, IndicationCannotBeConfirmedAfterTheTimeout) {
  ASSERT_EQ(Write(BLE_GATT_OP_WRITE_REQ, kTimeConfiguration, {0x02, 0x00}), NRF_SUCCESS);
  ASSERT_TRUE(session.NextEvent(BLE_GATTC_EVT_WRITE_RSP));
  TimeOutARead();

  ASSERT_TRUE(session.Board().Notify("phone", sim::AttUuid::Parse("2a2b"), {0x01}));
  ASSERT_TRUE(session.NextEvent(BLE_GATTC_EVT_HVX));
  EXPECT_EQ(sd_ble_gattc_hv_confirm(session.Adapter(), conn, kTimeValue), static_cast<uint32_t>(NRF_ERROR_TIMEOUT));
  EXPECT_EQ(session.Board().Snapshot().connections.at(0).indicationsConfirmed, 0u);
}

TEST_F(BoardGattTimeoutTest, NewLinkToTheSamePeerIsUsableAgain) {
  TimeOutARead();
  ASSERT_EQ(sd_ble_gap_disconnect(session.Adapter(), conn, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION), NRF_SUCCESS);
  ASSERT_TRUE(session.NextEvent(BLE_GAP_EVT_DISCONNECTED));
  conn = ConnectPhone(session);
  ASSERT_EQ(sd_ble_gattc_read(session.Adapter(), conn, kDeviceName, 0), NRF_SUCCESS);
  auto read = session.NextEvent(BLE_GATTC_EVT_READ_RSP);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->Evt().evt.gattc_evt.gatt_status, BLE_GATT_STATUS_SUCCESS);
}

}  // namespace
}  // namespace lumen::test::nrf52
