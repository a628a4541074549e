// Links on the virtual board: connecting, time-outs, cancelling, and the
// requests peers send that the central must answer.
#include "tests/nordic/BoardTestSupport.h"

namespace lumen::test::nrf52 {
namespace {

class BoardLinkTest : public ::testing::Test {
 protected:
  void Open(const std::string& phoneKeys = "") {
    file = std::make_unique<ScenarioFile>(PhonesScenario(phoneKeys));
    session = std::make_unique<BoardSession>(file->Path());
    session->OpenEnabled();
  }
  uint32_t Connect(const char* address, uint8_t type, uint16_t timeout10ms = 0) {
    ble_gap_addr_t peer = GapAddr(address, type);
    ble_gap_scan_params_t scan = ScanParams(false, timeout10ms);
    ble_gap_conn_params_t conn = ConnParams();
    return sd_ble_gap_connect(session->Adapter(), &peer, &scan, &conn, BLE_CONN_CFG_TAG_DEFAULT);
  }
  sim::Nrf52ConnectionInfo Link(size_t i = 0) {
    auto connections = session->Board().Snapshot().connections;
    return i < connections.size() ? connections[i] : sim::Nrf52ConnectionInfo{};
  }

  std::unique_ptr<ScenarioFile> file;
  std::unique_ptr<BoardSession> session;
};

TEST_F(BoardLinkTest, ConnectIsUpAfterThePeersDelayWithTheRequestedParameters) {
  Open(R"("requests_on_connect": [],)");
  ASSERT_EQ(Connect(kPhoneAddress, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE), NRF_SUCCESS);
  EXPECT_TRUE(session->Board().Snapshot().connecting);
  EXPECT_EQ(Connect(kPhoneAddress, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE),
            static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  auto connected = session->EventDueIn(BLE_GAP_EVT_CONNECTED, 30ms);
  ASSERT_TRUE(connected);
  const ble_gap_evt_t& gap = connected->Evt().evt.gap_evt;
  EXPECT_EQ(gap.conn_handle, 0);
  EXPECT_EQ(gap.params.connected.role, BLE_GAP_ROLE_CENTRAL);
  EXPECT_EQ(gap.params.connected.peer_addr.addr_type, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE);
  EXPECT_EQ(gap.params.connected.peer_addr.addr[0], 0x50);
  EXPECT_EQ(gap.params.connected.conn_params.max_conn_interval, 24);
  EXPECT_EQ(gap.params.connected.conn_params.conn_sup_timeout, 400);
  EXPECT_FALSE(session->Board().Snapshot().connecting);
  EXPECT_EQ(Link().peripheral, "phone");
  // The default configuration has room for one link.
  EXPECT_EQ(Connect("c1:22:33:44:55:66", BLE_GAP_ADDR_TYPE_RANDOM_STATIC), static_cast<uint32_t>(NRF_ERROR_CONN_COUNT));

  EXPECT_EQ(sd_ble_gap_disconnect(session->Adapter(), 0, BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION),
            static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
  EXPECT_EQ(sd_ble_gap_disconnect(session->Adapter(), 5, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION),
            static_cast<uint32_t>(BLE_ERROR_INVALID_CONN_HANDLE));
  EXPECT_EQ(sd_ble_gap_disconnect(session->Adapter(), 0, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION), NRF_SUCCESS);
  auto disconnected = session->NextEvent(BLE_GAP_EVT_DISCONNECTED);
  ASSERT_TRUE(disconnected);
  EXPECT_EQ(disconnected->Evt().evt.gap_evt.params.disconnected.reason, BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION);
}

TEST_F(BoardLinkTest, AnAbsentPeerTimesOutAndAPendingAttemptCanBeCancelled) {
  Open();
  ASSERT_EQ(Connect("11:22:33:44:55:66", BLE_GAP_ADDR_TYPE_PUBLIC, 100), NRF_SUCCESS);
  auto timeout = session->EventDueIn(BLE_GAP_EVT_TIMEOUT, 1000ms);
  ASSERT_TRUE(timeout);
  EXPECT_EQ(timeout->Evt().evt.gap_evt.params.timeout.src, BLE_GAP_TIMEOUT_SRC_CONN);
  EXPECT_EQ(sd_ble_gap_connect_cancel(session->Adapter()), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));

  // The right address with the wrong type finds nobody; cancelling ends it quietly.
  ASSERT_EQ(Connect(kPhoneAddress, BLE_GAP_ADDR_TYPE_PUBLIC), NRF_SUCCESS);
  session->Advance(500ms);
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_CONNECTED), 0u);
  EXPECT_EQ(sd_ble_gap_connect_cancel(session->Adapter()), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_connect_cancel(session->Adapter()), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  session->Advance(2000ms);
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_CONNECTED) + session->Pending(BLE_GAP_EVT_TIMEOUT), 0u);
}

TEST_F(BoardLinkTest, PeerRequestsAnsweredFromTheEventHandlerKeepTheLink) {
  Open();
  // Each link-layer reply starts a procedure; the next one is refused with
  // NRF_ERROR_BUSY until that procedure's completion event has been handed
  // over, so a refused reply is sent again on the next completion.
  std::deque<uint16_t> refused;
  size_t busy = 0;
  std::function<uint32_t(adapter_t*, uint16_t, uint16_t)> reply = [](adapter_t* adapter, uint16_t conn,
                                                                     uint16_t request) -> uint32_t {
    switch (request) {
      case BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST: {
        ble_gap_conn_params_t params{24, 40, 0, 500};  // what the peer asks for
        return sd_ble_gap_conn_param_update(adapter, conn, &params);
      }
      case BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST:
        return sd_ble_gap_data_length_update(adapter, conn, nullptr, nullptr);
      case BLE_GAP_EVT_PHY_UPDATE_REQUEST: {
        ble_gap_phys_t phys{BLE_GAP_PHY_AUTO, BLE_GAP_PHY_AUTO};
        return sd_ble_gap_phy_update(adapter, conn, &phys);
      }
      case BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST:
        return sd_ble_gatts_exchange_mtu_reply(adapter, conn, BLE_GATT_ATT_MTU_DEFAULT);
      default:
        return NRF_SUCCESS;
    }
  };
  session->SetEventHook([&](adapter_t* adapter, ble_evt_t* event) {
    const uint16_t id = event->header.evt_id;
    const uint16_t conn =
        id == BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST ? event->evt.gatts_evt.conn_handle : event->evt.gap_evt.conn_handle;
    if (id == BLE_GAP_EVT_CONN_PARAM_UPDATE || id == BLE_GAP_EVT_DATA_LENGTH_UPDATE || id == BLE_GAP_EVT_PHY_UPDATE) {
      while (!refused.empty()) {
        const uint16_t request = refused.front();
        refused.pop_front();
        if (reply(adapter, conn, request) == NRF_SUCCESS) break;
        refused.push_front(request);
        break;
      }
      return;
    }
    if (reply(adapter, conn, id) == NRF_ERROR_BUSY) {
      ++busy;
      refused.push_back(id);
    }
  });
  uint16_t conn = ConnectPhone(*session);
  auto update = session->NextEvent(BLE_GAP_EVT_CONN_PARAM_UPDATE);
  ASSERT_TRUE(update);
  EXPECT_EQ(update->Evt().evt.gap_evt.params.conn_param_update.conn_params.max_conn_interval, 40);
  auto phy = session->NextEvent(BLE_GAP_EVT_PHY_UPDATE);
  ASSERT_TRUE(phy);
  EXPECT_EQ(phy->Evt().evt.gap_evt.params.phy_update.tx_phy, BLE_GAP_PHY_2MBPS);
  ASSERT_TRUE(session->NextEvent(BLE_GAP_EVT_DATA_LENGTH_UPDATE));
  session->Settle();
  EXPECT_EQ(busy, 2u);  // data length and PHY met the parameter update
  EXPECT_TRUE(Link().unanswered.empty());
  EXPECT_EQ(Link().answered.size(), 4u);
  EXPECT_EQ(Link().attMtu, 23);
  // A second reply has nothing to answer.
  EXPECT_EQ(sd_ble_gatts_exchange_mtu_reply(session->Adapter(), conn, 23),
            static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  ble_gap_phys_t phys{BLE_GAP_PHY_AUTO, BLE_GAP_PHY_AUTO};
  EXPECT_EQ(sd_ble_gap_phy_update(session->Adapter(), conn, &phys), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  // A parameter update without a request is the central's own; NULL only probes.
  EXPECT_EQ(sd_ble_gap_conn_param_update(session->Adapter(), conn, nullptr), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_conn_param_update(session->Adapter(), 3, nullptr),
            static_cast<uint32_t>(BLE_ERROR_INVALID_CONN_HANDLE));
  session->Advance(60s);
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_DISCONNECTED), 0u);
}

TEST_F(BoardLinkTest, AnUnansweredLinkLayerRequestDropsTheLinkAfterFortySeconds) {
  Open(R"("requests_on_connect": ["phy_update"],)");
  uint16_t conn = ConnectPhone(*session);
  ASSERT_TRUE(session->NextEvent(BLE_GAP_EVT_PHY_UPDATE_REQUEST));
  EXPECT_EQ(Link().unanswered, std::vector<sim::Nrf52PeerRequest>{sim::Nrf52PeerRequest::kPhyUpdate});
  auto disconnected = session->EventDueIn(BLE_GAP_EVT_DISCONNECTED, 40s);
  ASSERT_TRUE(disconnected);
  EXPECT_EQ(disconnected->Evt().evt.gap_evt.conn_handle, conn);
  EXPECT_EQ(disconnected->Evt().evt.gap_evt.params.disconnected.reason, BLE_HCI_STATUS_CODE_LMP_RESPONSE_TIMEOUT);
}

TEST_F(BoardLinkTest, AnUnansweredMtuExchangeStallsThePeersBearer) {
  Open(R"("requests_on_connect": ["mtu_exchange", "sys_attr_missing"],)");
  uint16_t conn = ConnectPhone(*session);
  auto request = session->NextEvent(BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->Evt().evt.gatts_evt.params.exchange_mtu_request.client_rx_mtu, 185);
  ASSERT_TRUE(session->NextEvent(BLE_GATTS_EVT_SYS_ATTR_MISSING));
  EXPECT_EQ(sd_ble_gatts_sys_attr_set(session->Adapter(), conn, nullptr, 0, 0), NRF_SUCCESS);
  // More than the configured (default) ATT MTU cannot be offered.
  EXPECT_EQ(sd_ble_gatts_exchange_mtu_reply(session->Adapter(), conn, 185),
            static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
  session->Advance(30s);
  auto disconnected = session->NextEvent(BLE_GAP_EVT_DISCONNECTED);
  ASSERT_TRUE(disconnected);
  EXPECT_EQ(disconnected->Evt().evt.gap_evt.params.disconnected.reason, BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION);
}

TEST_F(BoardLinkTest, RssiChangesAreReportedByThreshold) {
  Open(R"("requests_on_connect": [], "rssi": {"from": -60, "to": -40, "over_s": 20},)");
  uint16_t conn = ConnectPhone(*session);
  EXPECT_EQ(sd_ble_gap_rssi_start(session->Adapter(), conn, 5, 0), NRF_SUCCESS);
  auto first = session->NextEvent(BLE_GAP_EVT_RSSI_CHANGED);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Evt().evt.gap_evt.params.rssi_changed.rssi, -60);
  session->Advance(4s);  // 1 dB a second: below the threshold
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_RSSI_CHANGED), 0u);
  session->Advance(1s);
  auto next = session->NextEvent(BLE_GAP_EVT_RSSI_CHANGED);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->Evt().evt.gap_evt.params.rssi_changed.rssi, -55);
  EXPECT_EQ(sd_ble_gap_rssi_stop(session->Adapter(), conn), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_rssi_stop(session->Adapter(), conn), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  EXPECT_EQ(sd_ble_gap_tx_power_set(session->Adapter(), BLE_GAP_TX_POWER_ROLE_CONN, conn, 4), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_tx_power_set(session->Adapter(), BLE_GAP_TX_POWER_ROLE_CONN, conn, 1),
            static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
  EXPECT_EQ(Link().txPowerDbm, 4);
}

}  // namespace
}  // namespace lumen::test::nrf52
