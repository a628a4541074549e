// The backend's view of the SoftDevice's scanner: resume only a paused scan,
// start a stopped one with parameters, stop a running one before starting it
// again, so that no scan start is refused and the driver's report-buffer pool
// never overflows.
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

constexpr const char* kStart = "sd_ble_gap_scan_start";
constexpr const char* kResume = "sd_ble_gap_scan_start(null)";

class NordicScanTest : public NordicSimTest {
 protected:
  void SetUp() override { OpenBoard(); }

  // Advances time until the phone's next report has paused the scanner.
  void UntilPaused() {
    for (int i = 0; i < 50 && Board().Snapshot().scanner != sim::Nrf52ScannerState::kPaused; ++i) {
      Advance(50);
    }
    ASSERT_EQ(Board().Snapshot().scanner, sim::Nrf52ScannerState::kPaused);
  }
};

TEST_F(NordicScanTest, ResumesOnlyAPausedScanAndRestartsAStoppedOneWithParameters) {
  ASSERT_EQ(CountCalls(kStart), 1u);  // opening starts the scan
  // Running, yet asked to start (a watchdog that hears nothing): stop, then start.
  Sdk().StartScan(false);
  EXPECT_EQ(CountCalls("sd_ble_gap_scan_stop"), 1u);
  EXPECT_EQ(CountCalls(kStart), 2u);
  EXPECT_EQ(CountCalls(kResume), 0u);

  UntilPaused();
  Sdk().StartScan(false);
  EXPECT_EQ(CountCalls(kResume), 1u);
  EXPECT_TRUE(Sdk().IsScanning());

  Sdk().EndProcedure();
  EXPECT_FALSE(Sdk().IsScanning());
  Sdk().StartScan(false);
  EXPECT_EQ(CountCalls(kStart), 3u);
  EXPECT_EQ(CountCalls(kResume), 1u);
  EXPECT_EQ(Board().Snapshot().scanner, sim::Nrf52ScannerState::kRunning);
  EXPECT_EQ(Board().Snapshot().scanStartsRefused, 0u);
  EXPECT_EQ(Board().Snapshot().reportBufferSlotsInUse, 1u);
}

TEST_F(NordicScanTest, RefusedResumeRecoversWithStopAndStartWithParameters) {
  UntilPaused();
  Board().Faults().FailNextCall(kStart, NRF_ERROR_INVALID_STATE);
  Sdk().StartScan(false);
  EXPECT_TRUE(m_log.Has(Logger::DEBUG,
                        "re-called sd_ble_gap_scan_start with non-null params after NRF_ERROR_INVALID_STATE, now "
                        "successful"));
  EXPECT_EQ(Board().Snapshot().scanner, sim::Nrf52ScannerState::kRunning);
  EXPECT_TRUE(Sdk().IsScanning());

  Board().Faults().FailNextCall(kStart, NRF_ERROR_INVALID_STATE, 2);
  Sdk().EndProcedure();
  Sdk().StartScan(false);
  EXPECT_TRUE(m_log.Has(Logger::WARNING,
                        "re-called sd_ble_gap_scan_start with non-null params after NRF_ERROR_INVALID_STATE, still get "
                        "NRF_ERROR_INVALID_STATE"));
  EXPECT_FALSE(Sdk().IsScanning());
}

TEST_F(NordicScanTest, ScanParametersApplyAtTheNextStartWithParameters) {
  Sdk().SetScanParameters(200, 50, 0);
  Sdk().EndProcedure();
  Sdk().StartScan(false);
  EXPECT_EQ(Board().Snapshot().scanIntervalUnits, 50);
  EXPECT_EQ(Board().Snapshot().scanWindowUnits, 50);
  Sdk().SetScanParameters(88, 88, 0);
}

TEST_F(NordicScanTest, ManyConnectsNeverOverflowTheReportBufferPool) {
  for (int round = 0; round < 12; ++round) {
    if (round % 2 == 0) {
      UntilPaused();  // connect from a paused scanner, then from a running one
    }
    const details::DeviceConnectionHandle h = ConnectPhone();
    EXPECT_FALSE(Sdk().IsScanning());
    Sdk().StartScan(false);  // what the Scanner asks for after a report
    Sdk().Disconnect(h);
    Sdk().StartScan(false);
  }
  const sim::Nrf52Snapshot snapshot = Board().Snapshot();
  EXPECT_FALSE(snapshot.reportBufferPoolOverflowed);
  EXPECT_EQ(snapshot.scanStartsRefused, 0u);
  EXPECT_LE(snapshot.reportBufferSlotsInUse, 1u);
  EXPECT_EQ(CountCalls(kResume), 0u);  // nothing is ever resumed after a connect
}

}  // namespace
}  // namespace lumen::testing
