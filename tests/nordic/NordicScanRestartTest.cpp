// A report still on its way when the scan is stopped and started again
// belongs to the old scan: it must not pause the backend's view of the new
// one, or the next start resumes a running scanner, which the SoftDevice
// refuses while the driver keeps the refused call's report-buffer slot.
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

class NordicScanRestartTest : public NordicSimTest {
 protected:
  void SetUp() override {
    OpenBoard();
    Board().SetLatency(0us, kLineLatency);
  }

  // Advances time until the board has paused after a report that has not
  // reached the backend yet.
  void UntilReportInFlight() {
    for (int i = 0; i < 200 && Board().Snapshot().scanner != sim::Nrf52ScannerState::kPaused; ++i) {
      Advance(1);
    }
    ASSERT_EQ(Board().Snapshot().scanner, sim::Nrf52ScannerState::kPaused);
    ASSERT_TRUE(Sdk().IsScanning());  // the backend has not seen it
  }

  static constexpr auto kLineLatency = 5ms;
};

TEST_F(NordicScanRestartTest, ReportFromBeforeARestartLeavesTheNewScanRunning) {
  for (int round = 0; round < 10; ++round) {
    UntilReportInFlight();
    if (round % 2 == 0) {
      Sdk().StartScan(false);  // the watchdog's restart of a running scan
    } else {
      Sdk().EndProcedure();  // a job added while scanning is briefly off
      Sdk().StartScan(false);
    }
    Advance(5);  // the old report arrives
    EXPECT_TRUE(Sdk().IsScanning()) << "round " << round;
    if (!Sdk().IsScanning()) {
      Sdk().StartScan(false);  // what the Scanner does on "request_start_scan"
    }
  }
  const sim::Nrf52Snapshot snapshot = Board().Snapshot();
  EXPECT_EQ(snapshot.scanStartsRefused, 0u);
  EXPECT_FALSE(snapshot.reportBufferPoolOverflowed);
  EXPECT_LE(snapshot.reportBufferSlotsInUse, 1u);
  EXPECT_EQ(CountCalls("sd_ble_gap_scan_start(null)"), 0u);
  EXPECT_EQ(m_log.CountContaining(Logger::DEBUG, "Nordic advertisement report from a stopped scan dropped"), 10u);
  EXPECT_TRUE(m_log.Lines(Logger::ERROR).empty());
}

TEST_F(NordicScanRestartTest, ReportOfTheCurrentScanStillPausesIt) {
  UntilReportInFlight();
  Advance(5);
  EXPECT_FALSE(Sdk().IsScanning());
  Sdk().StartScan(false);
  EXPECT_EQ(CountCalls("sd_ble_gap_scan_start(null)"), 1u);
  EXPECT_EQ(Board().Snapshot().scanner, sim::Nrf52ScannerState::kRunning);
  EXPECT_EQ(Board().Snapshot().scanStartsRefused, 0u);
}

}  // namespace
}  // namespace lumen::testing
