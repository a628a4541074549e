// Scanning on the virtual board: the SoftDevice v6 pause after every report,
// the state rules of sd_ble_gap_scan_start, and the driver's buffer pool.
#include "tests/nordic/BoardTestSupport.h"

namespace lumen::test::nrf52 {
namespace {

class BoardScanTest : public ::testing::Test {
 protected:
  void SetUp() override { session.OpenEnabled(); }

  uint32_t Start(bool active = false, uint16_t timeout = 0) {
    ble_gap_scan_params_t params = ScanParams(active, timeout);
    return sd_ble_gap_scan_start(session.Adapter(), &params, &data);
  }
  uint32_t Resume() { return sd_ble_gap_scan_start(session.Adapter(), nullptr, &data); }
  sim::Nrf52Snapshot Snap() { return session.Board().Snapshot(); }

  ScenarioFile file{PhonesScenario()};
  BoardSession session{file.Path()};
  uint8_t buffer[BLE_GAP_SCAN_BUFFER_MAX] = {};
  ble_data_t data{buffer, sizeof(buffer)};
};

TEST_F(BoardScanTest, EachReportPausesTheScannerUntilResumed) {
  EXPECT_EQ(Resume(), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));  // nothing to continue
  ASSERT_EQ(Start(), NRF_SUCCESS);
  EXPECT_EQ(Snap().scanner, sim::Nrf52ScannerState::kRunning);
  EXPECT_EQ(Resume(), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));  // not paused

  session.Advance(100ms);
  auto report = session.NextEvent(BLE_GAP_EVT_ADV_REPORT);
  ASSERT_TRUE(report);
  EXPECT_EQ(Snap().scanner, sim::Nrf52ScannerState::kPaused);
  EXPECT_EQ(Start(), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));  // parameters while paused

  session.Advance(200ms);  // two more adverts, both missed while paused
  session.Settle();
  EXPECT_EQ(session.Pending(BLE_GAP_EVT_ADV_REPORT), 0u);

  ASSERT_EQ(Resume(), NRF_SUCCESS);
  session.Advance(100ms);
  EXPECT_TRUE(session.NextEvent(BLE_GAP_EVT_ADV_REPORT));
  EXPECT_EQ(sd_ble_gap_scan_stop(session.Adapter()), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_scan_stop(session.Adapter()), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  EXPECT_EQ(session.Board().Calls().back(), "sd_ble_gap_scan_stop");
  EXPECT_TRUE(session.Board().WaitForCall("sd_ble_gap_scan_start(null)", 3, kWait));
}

TEST_F(BoardScanTest, ReportCarriesTheAdvertisementIntoTheRegisteredBuffer) {
  ASSERT_EQ(Start(), NRF_SUCCESS);
  session.Advance(100ms);
  auto report = session.NextEvent(BLE_GAP_EVT_ADV_REPORT);
  ASSERT_TRUE(report);
  const ble_gap_evt_adv_report_t& adv = report->Evt().evt.gap_evt.params.adv_report;
  EXPECT_EQ(adv.type.connectable, 1);
  EXPECT_EQ(adv.type.scannable, 1);
  EXPECT_EQ(adv.type.scan_response, 0);
  EXPECT_EQ(adv.type.status, BLE_GAP_ADV_DATA_STATUS_COMPLETE);
  EXPECT_EQ(adv.peer_addr.addr_type, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE);
  EXPECT_EQ(adv.peer_addr.addr[0], 0x50);  // least significant first
  EXPECT_EQ(adv.peer_addr.addr[5], 0x5a);
  EXPECT_EQ(adv.rssi, -55);
  EXPECT_EQ(adv.tx_power, BLE_GAP_POWER_LEVEL_INVALID);
  EXPECT_EQ(adv.set_id, BLE_GAP_ADV_REPORT_SET_ID_NOT_AVAILABLE);
  EXPECT_GE(adv.ch_index, 37);
  EXPECT_LE(adv.ch_index, 39);
  EXPECT_EQ(adv.data.p_data, buffer);
  Bytes expected = {0x02, 0x01, 0x06, 0x07, 0x09, 'P', 'h', 'o', 'n', 'e', 'A'};
  ASSERT_EQ(adv.data.len, expected.size());
  EXPECT_EQ(Bytes(buffer, buffer + adv.data.len), expected);

  // The beacon's static address (top bits 11) and non-connectable PDU.
  for (int i = 0; i < 10 && session.Pending(BLE_GAP_EVT_ADV_REPORT) == 0; ++i) {
    ASSERT_EQ(Resume(), NRF_SUCCESS);
    session.Advance(100ms);
    session.Settle();
    auto next = session.NextEvent(BLE_GAP_EVT_ADV_REPORT, 0ms);
    if (next && next->Evt().evt.gap_evt.params.adv_report.peer_addr.addr[5] == 0xc1) {
      const auto& beacon = next->Evt().evt.gap_evt.params.adv_report;
      EXPECT_EQ(beacon.peer_addr.addr_type, BLE_GAP_ADDR_TYPE_RANDOM_STATIC);
      EXPECT_EQ(beacon.type.connectable, 0);
      EXPECT_EQ(beacon.type.scannable, 0);
      return;
    }
  }
  FAIL() << "no report from the beacon";
}

TEST_F(BoardScanTest, ScanResponsesComeOnlyToActiveScannersAfterAResume) {
  ASSERT_EQ(Start(true), NRF_SUCCESS);
  session.Advance(100ms);
  ASSERT_TRUE(session.NextEvent(BLE_GAP_EVT_ADV_REPORT));
  ASSERT_EQ(Resume(), NRF_SUCCESS);
  auto response = session.NextEvent(BLE_GAP_EVT_ADV_REPORT);
  ASSERT_TRUE(response);
  const auto& adv = response->Evt().evt.gap_evt.params.adv_report;
  EXPECT_EQ(adv.type.scan_response, 1);
  EXPECT_EQ(Bytes(buffer, buffer + adv.data.len), (Bytes{0x03, 0x08, 'P', 'A'}));
  EXPECT_EQ(Snap().scanner, sim::Nrf52ScannerState::kPaused);

  ASSERT_EQ(sd_ble_gap_scan_stop(session.Adapter()), NRF_SUCCESS);
  ASSERT_EQ(Start(false), NRF_SUCCESS);  // passive
  session.Advance(100ms);
  ASSERT_TRUE(session.NextEvent(BLE_GAP_EVT_ADV_REPORT));
  ASSERT_EQ(Resume(), NRF_SUCCESS);
  session.Settle();
  EXPECT_EQ(session.Pending(BLE_GAP_EVT_ADV_REPORT), 0u);
}

TEST_F(BoardScanTest, EveryStartTakesAPoolSlotUntilItsBufferComesBack) {
  ASSERT_EQ(Start(), NRF_SUCCESS);
  EXPECT_EQ(Snap().reportBufferSlotsInUse, 1u);
  session.Advance(100ms);
  ASSERT_TRUE(session.NextEvent(BLE_GAP_EVT_ADV_REPORT));
  EXPECT_EQ(Snap().reportBufferSlotsInUse, 0u);
  ASSERT_EQ(Resume(), NRF_SUCCESS);
  // Refused resumes keep their slots: the ninth registration overflows.
  for (int i = 0; i < 7; ++i) EXPECT_EQ(Resume(), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  EXPECT_EQ(Snap().reportBufferSlotsInUse, 8u);
  EXPECT_FALSE(Snap().reportBufferPoolOverflowed);
  EXPECT_EQ(Start(), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  EXPECT_TRUE(Snap().reportBufferPoolOverflowed);
  EXPECT_EQ(Snap().scanStartsRefused, 8u);
  ASSERT_EQ(sd_ble_gap_scan_stop(session.Adapter()), NRF_SUCCESS);
  EXPECT_EQ(Snap().reportBufferSlotsInUse, 7u);
}

TEST_F(BoardScanTest, ConnectStopsTheScannerEvenWhenRefusedAndKeepsItsSlot) {
  ASSERT_EQ(Start(), NRF_SUCCESS);
  ble_gap_addr_t peer = GapAddr(kPhoneAddress, BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE);
  ble_gap_scan_params_t scan = ScanParams();
  ble_gap_conn_params_t conn = ConnParams();
  EXPECT_EQ(sd_ble_gap_connect(session.Adapter(), &peer, &scan, &conn, 9), static_cast<uint32_t>(NRF_ERROR_NOT_FOUND));
  EXPECT_EQ(Snap().scanner, sim::Nrf52ScannerState::kStopped);
  EXPECT_EQ(Snap().reportBufferSlotsInUse, 1u);
  EXPECT_EQ(sd_ble_gap_scan_stop(session.Adapter()), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  session.Advance(300ms);
  session.Settle();
  EXPECT_EQ(session.Pending(BLE_GAP_EVT_ADV_REPORT), 0u);
}

TEST_F(BoardScanTest, ScanTimeoutHandsTheBufferBack) {
  ASSERT_EQ(Start(false, 5), NRF_SUCCESS);  // 50 ms, before the first advert
  auto timeout = session.EventDueIn(BLE_GAP_EVT_TIMEOUT, 50ms);
  ASSERT_TRUE(timeout);
  const ble_gap_evt_timeout_t& t = timeout->Evt().evt.gap_evt.params.timeout;
  EXPECT_EQ(t.src, BLE_GAP_TIMEOUT_SRC_SCAN);
  EXPECT_EQ(t.params.adv_report_buffer.p_data, buffer);
  EXPECT_EQ(Snap().scanner, sim::Nrf52ScannerState::kStopped);
  EXPECT_EQ(Snap().reportBufferSlotsInUse, 0u);
  EXPECT_EQ(Resume(), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
}

}  // namespace
}  // namespace lumen::test::nrf52
