// Replies to what a phone asks right after connecting: sent again when the
// SoftDevice is busy with the procedure a previous reply started, dropped
// with the link, and a connect/disconnect cycle that leaves no alarming line.
#include <condition_variable>
#include <future>
#include <mutex>

#include "core/ConnectionTable.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

// The phone of the default scenario, asking nothing unless the test says so.
std::string QuietPhoneScenario() {
  return R"({
  "peripherals": [
    {"name": "phone", "address": "c4:10:20:30:40:50", "address_type": "random",
     "adv_interval_ms": 100, "adv_data": {"flags": 6}, "rssi": -55, "requests_on_connect": []}
  ]
})";
}

// Holds the driver's event thread inside the scanning-state callback, so that
// what the test queues behind it is delivered only when the test says so.
struct EventThreadGate {
  std::mutex mutex;
  std::condition_variable changed;
  bool armed = false;
  bool holding = false;
  bool open = false;
};
EventThreadGate g_gate;

void HoldWhenScanningStops(bool scanning) {
  std::unique_lock lock(g_gate.mutex);
  if (scanning || !g_gate.armed) {
    return;
  }
  g_gate.armed = false;
  g_gate.holding = true;
  g_gate.changed.notify_all();
  g_gate.changed.wait_for(lock, 30s, [] { return g_gate.open; });
}

class NordicPeerReplyTest : public NordicSimTest {
 protected:
  void TearDown() override {
    {
      std::lock_guard lock(g_gate.mutex);
      g_gate.open = true;
      g_gate.armed = false;
    }
    g_gate.changed.notify_all();
    NordicSimTest::TearDown();
    std::lock_guard lock(g_gate.mutex);
    g_gate.holding = false;
    g_gate.open = false;
  }

  // Replies sent again produce new events: wait until the board has nothing
  // more to deliver.
  void SettleReplies() {
    for (int round = 0; round < 10; ++round) {
      ASSERT_TRUE(Delivered());
    }
  }

  void InjectGapEvent(uint16_t id, uint16_t handle) {
    ble_evt_t event{};
    event.header.evt_id = id;
    event.header.evt_len = sizeof event;
    event.evt.gap_evt.conn_handle = handle;
    Inject(event);
  }

  std::vector<std::string> WarningsAndErrors() const {
    auto lines = m_log.Lines(Logger::WARNING);
    const auto errors = m_log.Lines(Logger::ERROR);
    lines.insert(lines.end(), errors.begin(), errors.end());
    return lines;
  }

  static std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
      text += line + "\n";
    }
    return text;
  }
};

TEST_F(NordicPeerReplyTest, RequestsSentBackToBackAreAllAnsweredAndTheLinkStays) {
  OpenBoard();  // the phone asks for parameters, data length, PHY and MTU at once
  const details::DeviceConnectionHandle h = ConnectPhone();
  SettleReplies();
  const auto connections = Board().Snapshot().connections;
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_TRUE(connections[0].unanswered.empty());
  EXPECT_EQ(connections[0].answered.size(), 4u);
  // Each of data length and PHY met a procedure in its way and went again.
  EXPECT_EQ(Board().CallCount("sd_ble_gap_data_length_update"), 2u);
  EXPECT_EQ(Board().CallCount("sd_ble_gap_phy_update"), 2u);
  EXPECT_FALSE(m_log.HasContaining(Logger::WARNING, "in reply to the peer"));

  Advance(60000);  // past the peer's link-layer response time-out
  EXPECT_TRUE(h.IsConnected());
  EXPECT_EQ(Board().Snapshot().connections.size(), 1u);
}

TEST_F(NordicPeerReplyTest, ReplyStaysBusyOnlyForABoundedNumberOfCompletions) {
  OpenBoard(QuietPhoneScenario());
  const details::DeviceConnectionHandle h = ConnectPhone();
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(h));
  Board().Faults().FailNextCall("sd_ble_gap_phy_update", NRF_ERROR_BUSY, 100);
  ASSERT_TRUE(Board().Faults().SendPeerRequest(native, sim::Nrf52PeerRequest::kPhyUpdate));
  ASSERT_TRUE(Delivered());
  EXPECT_EQ(Board().CallCount("sd_ble_gap_phy_update"), 1u);
  // Nothing is sent again without a completion: no sleeping, no polling.
  Advance(1000);
  EXPECT_EQ(Board().CallCount("sd_ble_gap_phy_update"), 1u);

  for (int i = 0; i < 10; ++i) {
    InjectGapEvent(BLE_GAP_EVT_DATA_LENGTH_UPDATE, native);
  }
  EXPECT_EQ(Board().CallCount("sd_ble_gap_phy_update"), 4u);
  EXPECT_EQ(m_log.Count(Logger::WARNING, "sd_ble_gap_phy_update failed in reply to the peer: 0x0011 NRF_ERROR_BUSY"),
            1u);
}

TEST_F(NordicPeerReplyTest, ReplyWaitingForACompletionIsDroppedWithItsLink) {
  OpenBoard(QuietPhoneScenario());
  const details::DeviceConnectionHandle h = ConnectPhone();
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(h));
  Board().Faults().FailNextCall("sd_ble_gap_phy_update", NRF_ERROR_BUSY);
  ASSERT_TRUE(Board().Faults().SendPeerRequest(native, sim::Nrf52PeerRequest::kPhyUpdate));
  ASSERT_TRUE(Delivered());
  ASSERT_TRUE(Board().Faults().DropConnection(native, BLE_HCI_CONNECTION_TIMEOUT));
  ASSERT_TRUE(Delivered());
  // A later link on the same handle does not inherit the old link's reply.
  InjectGapEvent(BLE_GAP_EVT_DATA_LENGTH_UPDATE, native);
  EXPECT_EQ(Board().CallCount("sd_ble_gap_phy_update"), 1u);
}

TEST_F(NordicPeerReplyTest, ReplyRefusedWhileTheLinkIsBeingDisconnectedIsDroppedQuietly) {
  OpenBoard(QuietPhoneScenario());
  details::DeviceConnectionHandle h = ConnectPhone();
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(h));
  Board().Faults().FailNextCall("sd_ble_gap_phy_update", NRF_ERROR_BUSY);
  ASSERT_TRUE(Board().Faults().SendPeerRequest(native, sim::Nrf52PeerRequest::kPhyUpdate));
  ASSERT_TRUE(Delivered());

  // Hold the event thread on an advertising report; behind it the completion
  // that sends the reply again, and behind that the disconnection event.
  Sdk().SetScanningStateCallback(&HoldWhenScanningStops);
  Sdk().StartScan(false);
  ASSERT_TRUE(Sdk().IsScanning());
  {
    std::lock_guard lock(g_gate.mutex);
    g_gate.armed = true;
  }
  // An empty report of the running scan: it points into the scan's buffer.
  static uint8_t reportData[1] = {};
  ble_evt_t report{};
  report.header.evt_id = BLE_GAP_EVT_ADV_REPORT;
  report.header.evt_len = sizeof report;
  report.evt.gap_evt.params.adv_report.data.p_data = reportData;
  Board().InjectEvent(reinterpret_cast<const uint8_t*>(&report), sizeof report, false);
  {
    std::unique_lock lock(g_gate.mutex);
    ASSERT_TRUE(g_gate.changed.wait_for(lock, 10s, [] { return g_gate.holding; }));
  }
  ble_evt_t completion{};
  completion.header.evt_id = BLE_GAP_EVT_DATA_LENGTH_UPDATE;
  completion.header.evt_len = sizeof completion;
  completion.evt.gap_evt.conn_handle = native;
  Board().InjectEvent(reinterpret_cast<const uint8_t*>(&completion), sizeof completion, false);

  auto disconnect = std::async(std::launch::async, [&] { Sdk().Disconnect(h); });
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gap_disconnect", 1, 10s));
  {
    std::lock_guard lock(g_gate.mutex);
    g_gate.open = true;
  }
  g_gate.changed.notify_all();
  disconnect.get();
  ASSERT_TRUE(Delivered());
  Sdk().SetScanningStateCallback(nullptr);

  EXPECT_EQ(Board().CallCount("sd_ble_gap_phy_update"), 2u);  // the second met the closing link
  EXPECT_TRUE(m_log.HasContaining(Logger::DEBUG, "sd_ble_gap_phy_update not sent: Nordic handle"));
  // The report that held the event thread has no scanner to go to here.
  auto warnings = WarningsAndErrors();
  std::erase(warnings, "Unhandled callback request_start_scan");
  EXPECT_TRUE(warnings.empty()) << Joined(warnings);
  EXPECT_FALSE(h.IsConnected());
}

TEST_F(NordicPeerReplyTest, ConnectAndDisconnectLogNoWarningErrorOrMissingConnectionLine) {
  OpenBoard();
  m_log.Clear();
  details::DeviceConnectionHandle h = ConnectPhone();
  SettleReplies();
  Sdk().Disconnect(h);
  SettleReplies();
  EXPECT_FALSE(h.IsConnected());
  EXPECT_TRUE(m_log.HasContaining(Logger::INFO, "Disconnect succeeded for Nordic connection handle"));
  EXPECT_TRUE(WarningsAndErrors().empty()) << Joined(WarningsAndErrors());
  EXPECT_FALSE(m_log.HasContaining(Logger::INFO, "was expected to be in the internal list of open connections"));
  // The completions of the updates we answered are known events.
  EXPECT_TRUE(m_log.HasContaining(Logger::DEBUG, "event BLE_GAP_EVT_CONN_PARAM_UPDATE Nordic conn handle"));
  EXPECT_TRUE(m_log.HasContaining(Logger::DEBUG, "event BLE_GAP_EVT_DATA_LENGTH_UPDATE Nordic conn handle"));
  EXPECT_TRUE(m_log.HasContaining(Logger::DEBUG, "event BLE_GAP_EVT_PHY_UPDATE Nordic conn handle"));
}

TEST_F(NordicPeerReplyTest, LinkDroppedByThePeerIsForgottenSoItsHandleCanBeUsedAgain) {
  OpenBoard(QuietPhoneScenario());
  m_log.Clear();
  const details::DeviceConnectionHandle h = ConnectPhone();
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(h));
  ASSERT_TRUE(Board().Faults().DropConnection(native, BLE_HCI_CONNECTION_TIMEOUT));
  ASSERT_TRUE(Delivered());
  EXPECT_FALSE(h.IsConnected());
  const details::DeviceConnectionHandle again = ConnectPhone();
  EXPECT_EQ(details::GetNativeHandle(again), native);
  EXPECT_TRUE(WarningsAndErrors().empty()) << Joined(WarningsAndErrors());
  EXPECT_FALSE(m_log.HasContaining(Logger::INFO, "was expected to be in the internal list of open connections"));
}

}  // namespace
}  // namespace lumen::testing
