// What the backend makes of the board's events: advertising reports turned
// into scan-response records, events it must drop, and the single-instance rule.
#include <array>
#include <cstring>
#include <stdexcept>

#include "bluegiga/BgMessages.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

using details::bglib::ble_msg_gap_scan_response_evt_t;

struct Record {
  int rssi;
  int packetType;
  std::array<uint8_t, 6> sender;
  int addressType;
  int bond;
  std::vector<uint8_t> data;
};

// Records, in order, "request_start_scan" (as an empty record) and scan responses.
class ReportRecorder {
 public:
  ReportRecorder() {
    m_start = BusSubscription::Make<void*>("request_start_scan", [this](void*) {
      std::lock_guard lock(m_mutex);
      m_sequence.push_back("request_start_scan");
    });
    m_response = BusSubscription::Make<const ble_msg_gap_scan_response_evt_t*>(
        "ble_evt_gap_scan_response", [this](const ble_msg_gap_scan_response_evt_t* record) {
          const auto* bytes = reinterpret_cast<const uint8_t*>(record);
          Record copy{static_cast<int8_t>(bytes[0]), bytes[1], {}, bytes[8], bytes[9], {}};
          std::memcpy(copy.sender.data(), bytes + 2, 6);
          copy.data.assign(bytes + 11, bytes + 11 + bytes[10]);
          std::lock_guard lock(m_mutex);
          m_sequence.push_back("ble_evt_gap_scan_response");
          m_records.push_back(copy);
        });
  }
  std::vector<std::string> Sequence() const {
    std::lock_guard lock(m_mutex);
    return m_sequence;
  }
  std::vector<Record> Records() const {
    std::lock_guard lock(m_mutex);
    return m_records;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_sequence;
  std::vector<Record> m_records;
  std::unique_ptr<BusSubscription> m_start;
  std::unique_ptr<BusSubscription> m_response;
};

class NordicEventDispatchTest : public NordicSimTest {
 protected:
  void SetUp() override {
    OpenBoard();
    // Some data of our own for the injected reports to point at.
    for (size_t i = 0; i < m_data.size(); ++i) {
      m_data[i] = static_cast<uint8_t>(i);
    }
  }

  ble_evt_t Report(int8_t rssi, uint16_t length, bool connectable = true) {
    ble_evt_t event{};
    event.header.evt_id = BLE_GAP_EVT_ADV_REPORT;
    event.header.evt_len = sizeof(ble_evt_t);
    event.evt.gap_evt.conn_handle = BLE_CONN_HANDLE_INVALID;
    ble_gap_evt_adv_report_t& report = event.evt.gap_evt.params.adv_report;
    report.type.connectable = connectable ? 1 : 0;
    report.peer_addr.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
    const uint8_t address[6] = {0x50, 0x40, 0x30, 0x20, 0x10, 0xc4};
    std::memcpy(report.peer_addr.addr, address, 6);
    report.rssi = rssi;
    report.data.p_data = m_data.data();
    report.data.len = length;
    return event;
  }

  std::array<uint8_t, 512> m_data{};
};

TEST_F(NordicEventDispatchTest, ConnectableReportBecomesScanResponseRecordAfterStartRequest) {
  ReportRecorder recorder;
  Inject(Report(-60, 20));

  EXPECT_EQ(recorder.Sequence(), (std::vector<std::string>{"request_start_scan", "ble_evt_gap_scan_response"}));
  const auto records = recorder.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].rssi, -68);
  EXPECT_EQ(records[0].packetType, 0);
  EXPECT_EQ(records[0].sender, (std::array<uint8_t, 6>{0x50, 0x40, 0x30, 0x20, 0x10, 0xc4}));
  EXPECT_EQ(records[0].addressType, 1);
  EXPECT_EQ(records[0].bond, 0xFF);
  EXPECT_EQ(records[0].data, std::vector<uint8_t>(m_data.begin(), m_data.begin() + 20));
  EXPECT_FALSE(Sdk().IsScanning());  // the SoftDevice pauses after a report
}

TEST_F(NordicEventDispatchTest, PacketTypeAddressTypeAndRssiFollowTheReport) {
  ReportRecorder recorder;
  ble_evt_t scannable = Report(-125, 3);
  scannable.evt.gap_evt.params.adv_report.type.scannable = 1;
  scannable.evt.gap_evt.params.adv_report.peer_addr.addr_type = BLE_GAP_ADDR_TYPE_PUBLIC;
  ble_evt_t scanResponse = Report(-128, 3);
  scanResponse.evt.gap_evt.params.adv_report.type.scannable = 1;
  scanResponse.evt.gap_evt.params.adv_report.type.scan_response = 1;
  scanResponse.evt.gap_evt.params.adv_report.peer_addr.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_NON_RESOLVABLE;
  Inject(scannable);
  Inject(scanResponse);

  const auto records = recorder.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].packetType, 6);
  EXPECT_EQ(records[0].addressType, 0);
  EXPECT_EQ(records[0].rssi, -128);  // -125 - 8 saturates
  EXPECT_EQ(records[1].packetType, 4);
  EXPECT_EQ(records[1].addressType, 1);
  EXPECT_EQ(records[1].rssi, -128);
}

TEST_F(NordicEventDispatchTest, DroppedReportsStillAskForTheScanToResume) {
  ReportRecorder recorder;
  Inject(Report(-60, 10, /*connectable=*/false));
  Inject(Report(-60, 300));  // more than a record can hold
  ble_evt_t noData = Report(-60, 5);
  noData.evt.gap_evt.params.adv_report.data.p_data = nullptr;
  Inject(noData);

  EXPECT_TRUE(recorder.Records().empty());
  EXPECT_EQ(recorder.Sequence().size(), 3u);  // three start requests
  EXPECT_TRUE(m_log.Has(Logger::DEBUG, "Skipping non-connectable advertisement"));
  EXPECT_TRUE(m_log.Has(Logger::ERROR, "Nordic received advertisement data that is too large #bytes =  300"));
  EXPECT_TRUE(m_log.HasContaining(Logger::DEBUG, "Nordic advertisement report from a stopped scan dropped"));
}

TEST_F(NordicEventDispatchTest, ThrowingSubscribersNeverReachTheDriverThread) {
  auto throwsStd = BusSubscription::Make<const ble_msg_gap_scan_response_evt_t*>(
      "ble_evt_gap_scan_response", [](const ble_msg_gap_scan_response_evt_t*) { throw std::runtime_error("x"); });
  Inject(Report(-60, 4));
  throwsStd.reset();
  auto throwsOther = BusSubscription::Make<const ble_msg_gap_scan_response_evt_t*>(
      "ble_evt_gap_scan_response", [](const ble_msg_gap_scan_response_evt_t*) { throw 42; });
  Inject(Report(-60, 4));

  EXPECT_TRUE(m_log.Has(Logger::ERROR, "Nordic event handler error  x"));
  EXPECT_TRUE(m_log.Has(Logger::ERROR, "Nordic event handler error non-std::exception"));
}

TEST_F(NordicEventDispatchTest, EventsAreDroppedWithTwoInstancesOrFromAnotherAdapter) {
  ReportRecorder recorder;
  {
    Nordic::NordicBluetoothSDK second;
    Inject(Report(-60, 4));
  }
  EXPECT_TRUE(m_log.Has(Logger::ERROR, "NordicBluetoothSDK only supports a single instance, #instances =  2"));
  EXPECT_TRUE(recorder.Records().empty());

  Inject(Report(-60, 4), /*otherAdapter=*/true);
  EXPECT_TRUE(recorder.Records().empty());

  Inject(Report(-60, 4));  // one instance, our adapter: handled again
  EXPECT_EQ(recorder.Records().size(), 1u);
}

TEST_F(NordicEventDispatchTest, StatusAndLogRecordsAreLoggedBySeverity) {
  Board().InjectStatus(PKT_UNEXPECTED, "unexpected");
  Board().InjectLog(SD_RPC_LOG_WARNING, "w");
  Board().InjectLog(SD_RPC_LOG_FATAL, "f");
  Board().InjectLog(9, "odd");
  Board().InjectStatus(99, "unknown");
  ASSERT_TRUE(Delivered());
  EXPECT_TRUE(m_log.Has(Logger::INFO, "Nordic status  1  message  unexpected"));
  EXPECT_TRUE(m_log.Has(Logger::WARNING, "Warning:  w"));
  EXPECT_TRUE(m_log.Has(Logger::ERROR, "Fatal Error (Nordic Bluetooth will stop now):  f"));
  EXPECT_TRUE(m_log.Has(Logger::ERROR, "Log unknown severity  9  message  odd"));
  EXPECT_TRUE(m_log.Has(Logger::INFO, "Nordic status  99  message  unknown"));
}

}  // namespace
}  // namespace lumen::testing
