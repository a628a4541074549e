// A link the central disconnects stays, refusing calls, until the
// application has been handed its disconnection event.
#include <future>

#include "tests/nordic/BoardTestSupport.h"

namespace lumen::test::nrf52 {
namespace {

class BoardDisconnectPhaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file = std::make_unique<ScenarioFile>(PhonesScenario(R"("requests_on_connect": [],)"));
    session = std::make_unique<BoardSession>(file->Path());
    session->OpenEnabled();
    conn = ConnectPhone(*session);
    session->Settle();
  }

  void TearDown() override { release.set_value(); }

  // Keeps the board's event thread in the handler of an injected event, so
  // that what is queued behind it waits.
  void HoldEventThread() {
    std::shared_future<void> released = release.get_future().share();
    auto holding = std::make_shared<std::promise<void>>();
    std::future<void> held = holding->get_future();
    session->SetEventHook([released, holding](adapter_t*, ble_evt_t* event) {
      if (event->header.evt_id != BLE_EVT_USER_MEM_RELEASE) return;
      holding->set_value();
      released.wait_for(30s);
    });
    Bytes raw(sizeof(ble_evt_t), 0);
    auto* event = reinterpret_cast<ble_evt_t*>(raw.data());
    event->header.evt_id = BLE_EVT_USER_MEM_RELEASE;
    event->header.evt_len = sizeof(ble_evt_t);
    session->Board().InjectEvent(raw.data(), raw.size(), false);
    ASSERT_EQ(held.wait_for(10s), std::future_status::ready);
  }

  std::unique_ptr<ScenarioFile> file;
  std::unique_ptr<BoardSession> session;
  uint16_t conn = BLE_CONN_HANDLE_INVALID;
  std::promise<void> release;
};

TEST_F(BoardDisconnectPhaseTest, CallsOnTheLinkAreRefusedUntilItsDisconnectionIsDelivered) {
  adapter_t* adapter = session->Adapter();
  ASSERT_EQ(sd_ble_gap_rssi_start(adapter, conn, 0, 0), NRF_SUCCESS);
  ASSERT_TRUE(session->Board().Faults().SendPeerRequest(conn, sim::Nrf52PeerRequest::kPhyUpdate));
  session->Settle();
  HoldEventThread();

  ASSERT_EQ(sd_ble_gap_disconnect(adapter, conn, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION), NRF_SUCCESS);
  auto connections = session->Board().Snapshot().connections;
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_TRUE(connections[0].disconnecting);
  const auto invalidState = static_cast<uint32_t>(NRF_ERROR_INVALID_STATE);
  EXPECT_EQ(sd_ble_gap_disconnect(adapter, conn, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION), invalidState);
  ble_gap_phys_t phys{BLE_GAP_PHY_AUTO, BLE_GAP_PHY_AUTO};
  EXPECT_EQ(sd_ble_gap_phy_update(adapter, conn, &phys), invalidState);
  ble_gap_conn_params_t params = ConnParams();
  EXPECT_EQ(sd_ble_gap_conn_param_update(adapter, conn, &params), invalidState);
  EXPECT_EQ(sd_ble_gap_data_length_update(adapter, conn, nullptr, nullptr), invalidState);
  EXPECT_EQ(sd_ble_gatts_exchange_mtu_reply(adapter, conn, BLE_GATT_ATT_MTU_DEFAULT), invalidState);
  EXPECT_EQ(sd_ble_gattc_read(adapter, conn, 3, 0), invalidState);
  EXPECT_EQ(sd_ble_gap_rssi_start(adapter, conn, 0, 0), invalidState);
  EXPECT_FALSE(session->Board().Faults().SendPeerRequest(conn, sim::Nrf52PeerRequest::kDataLengthUpdate));
  // The peer's loss of the link meanwhile adds no second event.
  EXPECT_TRUE(session->Board().Faults().DropConnection(conn, BLE_HCI_CONNECTION_TIMEOUT));

  release.set_value();
  release = {};
  auto disconnected = session->NextEvent(BLE_GAP_EVT_DISCONNECTED);
  ASSERT_TRUE(disconnected);
  EXPECT_EQ(disconnected->Evt().evt.gap_evt.params.disconnected.reason, BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION);
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_DISCONNECTED), 0u);
  EXPECT_TRUE(session->Board().Snapshot().connections.empty());
  const auto invalidHandle = static_cast<uint32_t>(BLE_ERROR_INVALID_CONN_HANDLE);
  EXPECT_EQ(sd_ble_gap_disconnect(adapter, conn, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION), invalidHandle);
  EXPECT_EQ(sd_ble_gap_phy_update(adapter, conn, &phys), invalidHandle);
  // The phone can be connected again.
  EXPECT_NE(ConnectPhone(*session), BLE_CONN_HANDLE_INVALID);
}

}  // namespace
}  // namespace lumen::test::nrf52
