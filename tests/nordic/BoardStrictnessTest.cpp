// The virtual board holds the host to what the SoftDevice v6 headers say:
// a random peer address must carry its own sub-type, RSSI reports with
// threshold 0 come once per connection event, and the report buffer is
// required and filled no further than its declared length.
#include "sim/nrf52/Nrf52Events.h"
#include "tests/nordic/BoardTestSupport.h"

namespace lumen::test::nrf52 {
namespace {

class BoardStrictnessTest : public ::testing::Test {
 protected:
  void Open(const std::string& json = PhonesScenario(R"("requests_on_connect": [],)")) {
    file = std::make_unique<ScenarioFile>(json);
    session = std::make_unique<BoardSession>(file->Path());
    session->OpenEnabled();
  }
  uint32_t Connect(const char* address, uint8_t type) {
    ble_gap_addr_t peer = GapAddr(address, type);
    ble_gap_scan_params_t scan = ScanParams(false, 100);
    ble_gap_conn_params_t conn = ConnParams();
    return sd_ble_gap_connect(session->Adapter(), &peer, &scan, &conn, BLE_CONN_CFG_TAG_DEFAULT);
  }
  uint32_t StartScan(const ble_data_t* buffer) {
    ble_gap_scan_params_t params = ScanParams();
    return sd_ble_gap_scan_start(session->Adapter(), &params, buffer);
  }

  std::unique_ptr<ScenarioFile> file;
  std::unique_ptr<BoardSession> session;
};

TEST_F(BoardStrictnessTest, RandomAddressGivenWithAnotherSubTypeDoesNotConnect) {
  Open();
  // The phone's address is resolvable (top bits 01).
  for (uint8_t wrong : {BLE_GAP_ADDR_TYPE_RANDOM_STATIC, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_NON_RESOLVABLE}) {
    EXPECT_EQ(Connect(kPhoneAddress, wrong), sim::nrf52::kErrorGapInvalidBleAddr) << int{wrong};
    EXPECT_FALSE(session->Board().Snapshot().connecting);
  }
  // Reserved top bits (10) are no sub-type at all.
  EXPECT_EQ(Connect("9a:10:20:30:40:50", BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE),
            sim::nrf52::kErrorGapInvalidBleAddr);
  session->Advance(1000ms);
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_CONNECTED), 0u);
  EXPECT_TRUE(session->Board().Snapshot().connections.empty());

  ASSERT_EQ(Connect(kPhoneAddress, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE), NRF_SUCCESS);
  session->Advance(30ms);
  EXPECT_TRUE(session->NextEvent(BLE_GAP_EVT_CONNECTED));
}

TEST_F(BoardStrictnessTest, RssiAtThresholdZeroComesEveryConnectionEvent) {
  Open();
  const uint16_t conn = ConnectPhone(*session);  // 30 ms interval
  ASSERT_EQ(sd_ble_gap_rssi_start(session->Adapter(), conn, 0, 0), NRF_SUCCESS);
  session->Advance(300ms);
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_RSSI_CHANGED), 11u);  // at the start, then ten events

  // A skip count passes over that many qualifying samples before each event.
  ASSERT_EQ(sd_ble_gap_rssi_stop(session->Adapter(), conn), NRF_SUCCESS);
  while (session->NextEvent(BLE_GAP_EVT_RSSI_CHANGED, 0ms)) {
  }
  ASSERT_EQ(sd_ble_gap_rssi_start(session->Adapter(), conn, 0, 2), NRF_SUCCESS);
  session->Advance(270ms);
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_RSSI_CHANGED), 4u);  // at the start, then every third sample
}

TEST_F(BoardStrictnessTest, ScanStartWithoutAReportBufferIsRefused) {
  Open();
  EXPECT_EQ(StartScan(nullptr), static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
  ble_data_t noData{nullptr, BLE_GAP_SCAN_BUFFER_MIN};
  EXPECT_EQ(StartScan(&noData), static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));
  uint8_t storage[BLE_GAP_SCAN_BUFFER_MIN] = {};
  ble_data_t tooShort{storage, BLE_GAP_SCAN_BUFFER_MIN - 1};
  EXPECT_EQ(StartScan(&tooShort), static_cast<uint32_t>(NRF_ERROR_INVALID_LENGTH));
  const sim::Nrf52Snapshot snapshot = session->Board().Snapshot();
  EXPECT_EQ(snapshot.scanner, sim::Nrf52ScannerState::kStopped);
  EXPECT_EQ(snapshot.scanStartsRefused, 3u);
  EXPECT_EQ(snapshot.reportBufferSlotsInUse, 1u);  // only the call that had a buffer registered one
}

TEST_F(BoardStrictnessTest, ReportFillsTheBufferNoFurtherThanItsDeclaredLength) {
  // 31 bytes of advertising data: as much as a legacy PDU carries.
  Open(R"({"peripherals": [{"name": "full", "address": "c1:22:33:44:55:66", "address_type": "random",
    "adv_interval_ms": 100, "first_advert_ms": 100, "rssi": -60,
    "adv_data": "1eff0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d"}]})");
  constexpr uint8_t kUntouched = 0xEE;
  std::vector<uint8_t> storage(BLE_GAP_SCAN_BUFFER_MIN + 16, kUntouched);
  ble_data_t buffer{storage.data(), BLE_GAP_SCAN_BUFFER_MIN};
  ASSERT_EQ(StartScan(&buffer), NRF_SUCCESS);
  session->Advance(100ms);
  auto report = session->NextEvent(BLE_GAP_EVT_ADV_REPORT);
  ASSERT_TRUE(report);
  const ble_gap_evt_adv_report_t& adv = report->Evt().evt.gap_evt.params.adv_report;
  EXPECT_EQ(adv.data.p_data, storage.data());
  EXPECT_EQ(adv.data.len, BLE_GAP_SCAN_BUFFER_MIN);
  EXPECT_EQ(adv.type.status, BLE_GAP_ADV_DATA_STATUS_COMPLETE);
  EXPECT_EQ(storage[0], 0x1e);
  EXPECT_EQ(storage[BLE_GAP_SCAN_BUFFER_MIN - 1], 0x1d);
  for (size_t i = BLE_GAP_SCAN_BUFFER_MIN; i < storage.size(); ++i) {
    EXPECT_EQ(storage[i], kUntouched) << i;
  }
}

TEST_F(BoardStrictnessTest, EventsOnTheLineArriveAfterTheLatencyAndInOrder) {
  Open();
  session->Board().SetLatency(0us, 5ms);
  uint8_t storage[BLE_GAP_SCAN_BUFFER_MIN] = {};
  ble_data_t buffer{storage, sizeof storage};
  ASSERT_EQ(StartScan(&buffer), NRF_SUCCESS);
  session->Advance(100ms);  // the phone's first advertisement
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_ADV_REPORT), 0u);
  EXPECT_EQ(session->Board().Snapshot().scanner, sim::Nrf52ScannerState::kPaused);

  // Without latency now, a later record still waits for the one before it.
  session->Board().SetLatency(0us, 0us);
  ble_evt_t marker{};
  marker.header.evt_id = BLE_GAP_EVT_RSSI_CHANGED;
  marker.header.evt_len = sizeof marker;
  session->Board().InjectEvent(reinterpret_cast<const uint8_t*>(&marker), sizeof marker);
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_RSSI_CHANGED), 0u);
  session->Advance(5ms);
  session->Settle();
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_ADV_REPORT), 1u);
  EXPECT_EQ(session->Pending(BLE_GAP_EVT_RSSI_CHANGED), 1u);
}

}  // namespace
}  // namespace lumen::test::nrf52
