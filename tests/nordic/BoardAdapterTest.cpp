// The virtual board's adapter life cycle and callbacks, as pc-ble-driver shows them.
#include <atomic>

#include "tests/nordic/BoardTestSupport.h"

namespace lumen::test::nrf52 {
namespace {

TEST(BoardAdapterTest, WithoutOpenOnlyTheFilterIsAccepted) {
  BoardSession session("/nonexistent/ttyACM0");
  EXPECT_EQ(sd_rpc_log_handler_severity_filter_set(session.Adapter(), SD_RPC_LOG_INFO), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_scan_stop(session.Adapter()), static_cast<uint32_t>(NRF_ERROR_SD_RPC_SEND));
  EXPECT_EQ(sd_rpc_close(session.Adapter()), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
}

TEST(BoardAdapterTest, OpenOnAPortThatIsNoScenarioFailsClearlyAndStaysCountedOpen) {
  BoardSession session("/dev/ttyACM-lumen-absent");
  EXPECT_EQ(session.Open(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE));
  EXPECT_EQ(sim::OpenNrf52Board(), nullptr);

  auto statuses = session.Statuses();  // delivered during the call
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].code, IO_RESOURCES_UNAVAILABLE);
  auto logs = session.Logs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].code, SD_RPC_LOG_ERROR);
  EXPECT_NE(logs[0].text.find("this lumen build has no pc-ble-driver"), std::string::npos) << logs[0].text;
  EXPECT_NE(logs[0].text.find("-Dnrf-ble-driver_DIR="), std::string::npos) << logs[0].text;
  EXPECT_NE(logs[0].text.find("/dev/ttyACM-lumen-absent"), std::string::npos) << logs[0].text;

  EXPECT_EQ(session.Open(), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  EXPECT_EQ(sd_rpc_close(session.Adapter()),
            static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED));
  EXPECT_EQ(session.Open(), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
}

TEST(BoardAdapterTest, MalformedScenarioNamesTheProblem) {
  ScenarioFile file(R"({"peripherals": [{"name": "x"}]})");
  BoardSession session(file.Path());
  EXPECT_EQ(session.Open(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE));
  auto logs = session.Logs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(logs[0].text.find("address is required"), std::string::npos) << logs[0].text;
}

TEST(BoardAdapterTest, OpenReportsResetAndActiveLinkAndHandsOutAdapterCopies) {
  ScenarioFile file(PhonesScenario());
  BoardSession session(file.Path());
  ASSERT_EQ(session.Open(), NRF_SUCCESS);
  auto statuses = session.Statuses();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0].code, RESET_PERFORMED);
  EXPECT_EQ(statuses[1].code, CONNECTION_ACTIVE);
  EXPECT_EQ(statuses[0].internal, session.Adapter()->internal);

  sim::VirtualNrf52& board = session.Board();
  Bytes raw(sizeof(ble_evt_t), 0);
  auto* event = reinterpret_cast<ble_evt_t*>(raw.data());
  event->header.evt_id = BLE_GAP_EVT_RSSI_CHANGED;
  event->header.evt_len = sizeof(ble_evt_t);
  board.InjectEvent(raw.data(), raw.size(), false);
  board.InjectEvent(raw.data(), raw.size(), true);
  auto own = session.NextEvent(BLE_GAP_EVT_RSSI_CHANGED);
  auto foreign = session.NextEvent(BLE_GAP_EVT_RSSI_CHANGED);
  ASSERT_TRUE(own && foreign);
  EXPECT_NE(own->adapter, session.Adapter());  // a copy on the stack
  EXPECT_EQ(own->internal, session.Adapter()->internal);
  EXPECT_NE(foreign->internal, session.Adapter()->internal);
}

TEST(BoardAdapterTest, ConfigurationBelongsBeforeEnableAndVersionIsAnS132) {
  ScenarioFile file(PhonesScenario());
  BoardSession session(file.Path());
  ASSERT_EQ(session.Open(), NRF_SUCCESS);
  adapter_t* adapter = session.Adapter();
  EXPECT_EQ(sd_ble_gap_scan_stop(adapter), static_cast<uint32_t>(BLE_ERROR_NOT_ENABLED));

  ble_cfg_t cfg{};
  cfg.gap_cfg.role_count_cfg.central_role_count = 2;
  cfg.gap_cfg.role_count_cfg.adv_set_count = 1;
  EXPECT_EQ(sd_ble_cfg_set(adapter, BLE_GAP_CFG_ROLE_COUNT, &cfg, 0), NRF_SUCCESS);
  EXPECT_EQ(SetGapConnectionConfiguration(adapter, 2, 6), NRF_SUCCESS);
  ble_version_t version{};
  EXPECT_EQ(sd_ble_version_get(adapter, &version), NRF_SUCCESS);
  EXPECT_EQ(version.version_number, 9);
  EXPECT_EQ(version.company_id, 0x0059);
  EXPECT_EQ(version.subversion_number, 0x00AE);

  uint32_t ramBase = 0;
  EXPECT_EQ(sd_ble_enable(adapter, &ramBase), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_enable(adapter, &ramBase), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  EXPECT_EQ(sd_ble_cfg_set(adapter, BLE_CONN_CFG_GAP, &cfg, 0), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));

  auto snapshot = session.Board().Snapshot();
  EXPECT_TRUE(snapshot.enabled);
  EXPECT_EQ(snapshot.configuration.centralRoleCount, 2);
  EXPECT_EQ(snapshot.configuration.connCount, 2);
  EXPECT_EQ(snapshot.configuration.eventLength, 6);
  EXPECT_EQ(snapshot.configuration.connCfgTag, 1);
  // An unconfigured tag is unknown to connect.
  ble_gap_addr_t peer = GapAddr(kPhoneAddress, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE);
  ble_gap_scan_params_t scan = ScanParams();
  ble_gap_conn_params_t conn = ConnParams();
  EXPECT_EQ(sd_ble_gap_connect(adapter, &peer, &scan, &conn, 7), static_cast<uint32_t>(NRF_ERROR_NOT_FOUND));
}

TEST(BoardAdapterTest, HandlersMayCallTheBoardThrowAndNotCloseFromTheEventThread) {
  ScenarioFile file(PhonesScenario());
  BoardSession session(file.Path());
  session.OpenEnabled();
  std::atomic<uint32_t> closeResult{0};
  std::atomic<uint32_t> resumeResult{0};
  std::atomic<int> reports{0};
  session.SetEventHook([&](adapter_t* adapter, ble_evt_t* event) {
    if (event->header.evt_id != BLE_GAP_EVT_ADV_REPORT) return;
    if (++reports == 1) {
      closeResult = sd_rpc_close(adapter);
      static uint8_t buffer[BLE_GAP_SCAN_BUFFER_MAX];
      static const ble_data_t data{buffer, sizeof(buffer)};
      resumeResult = sd_ble_gap_scan_start(adapter, nullptr, &data);
      throw std::runtime_error("handlers fail too");
    }
  });
  uint8_t buffer[BLE_GAP_SCAN_BUFFER_MAX];
  ble_data_t data{buffer, sizeof(buffer)};
  ble_gap_scan_params_t params = ScanParams();
  ASSERT_EQ(sd_ble_gap_scan_start(session.Adapter(), &params, &data), NRF_SUCCESS);
  session.Advance(100ms);
  session.Settle();
  EXPECT_EQ(closeResult.load(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT));
  EXPECT_EQ(resumeResult.load(), NRF_SUCCESS);
  // The thread survived the throw and the board is still open.
  session.Advance(100ms);
  session.Settle();
  EXPECT_EQ(reports.load(), 2);
  EXPECT_TRUE(session.Board().Snapshot().open);
  EXPECT_EQ(sd_rpc_close(session.Adapter()), NRF_SUCCESS);
  EXPECT_FALSE(session.Board().Snapshot().open);
}

TEST(BoardAdapterTest, RealTimeBoardRunsOnItsOwnAndClosesWhileTimersFire) {
  ScenarioFile file(PhonesScenario());
  BoardSession session(file.Path());
  ASSERT_EQ(session.Open(sim::SimClock::Mode::kRealTime), NRF_SUCCESS);
  auto board = sim::OpenNrf52Board();
  ASSERT_NE(board, nullptr);
  uint32_t ramBase = 0;
  ASSERT_EQ(sd_ble_enable(session.Adapter(), &ramBase), NRF_SUCCESS);
  uint8_t buffer[BLE_GAP_SCAN_BUFFER_MAX];
  ble_data_t data{buffer, sizeof(buffer)};
  ble_gap_scan_params_t params = ScanParams();
  ASSERT_EQ(sd_ble_gap_scan_start(session.Adapter(), &params, &data), NRF_SUCCESS);
  ASSERT_TRUE(session.NextEvent(BLE_GAP_EVT_ADV_REPORT));  // about 100 ms of wall time
  ASSERT_EQ(sd_ble_gap_scan_start(session.Adapter(), nullptr, &data), NRF_SUCCESS);
  EXPECT_EQ(sd_rpc_close(session.Adapter()), NRF_SUCCESS);
  EXPECT_FALSE(board->Snapshot().open);  // the board outlives its close for whoever holds it
}

TEST(BoardAdapterTest, StopAnsweringFailsEveryCallAndReportsOnce) {
  ScenarioFile file(PhonesScenario());
  BoardSession session(file.Path());
  session.OpenEnabled();
  session.Board().Faults().StopAnswering();
  EXPECT_EQ(sd_ble_gap_scan_stop(session.Adapter()), static_cast<uint32_t>(NRF_ERROR_SD_RPC_SEND));
  EXPECT_EQ(sd_ble_gap_connect_cancel(session.Adapter()), static_cast<uint32_t>(NRF_ERROR_SD_RPC_SEND));
  session.Settle();
  auto statuses = session.Statuses();
  EXPECT_EQ(std::count_if(statuses.begin(), statuses.end(),
                          [](const Record& r) { return r.code == PKT_SEND_MAX_RETRIES_REACHED; }),
            1);
}

TEST(BoardAdapterTest, SystemResetRebootsTheSoftDeviceSilently) {
  ScenarioFile file(PhonesScenario(R"("requests_on_connect": [],)"));
  BoardSession session(file.Path());
  session.OpenEnabled();
  ConnectPhone(session);
  EXPECT_EQ(sd_rpc_conn_reset(session.Adapter(), SYS_RESET), NRF_SUCCESS);
  session.Settle();
  auto snapshot = session.Board().Snapshot();
  EXPECT_EQ(snapshot.resets, 1u);
  EXPECT_FALSE(snapshot.enabled);
  EXPECT_TRUE(snapshot.connections.empty());
  EXPECT_EQ(session.Pending(BLE_GAP_EVT_DISCONNECTED), 0u);
  auto calls = session.Board().Calls();
  EXPECT_EQ(calls.front(), "sd_rpc_open");
  EXPECT_EQ(calls.back(), "sd_rpc_conn_reset");
}

}  // namespace
}  // namespace lumen::test::nrf52
