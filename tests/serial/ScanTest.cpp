// Scanning: scan jobs and advertisements from the radio's peripherals.
#include <set>

#include "serial/SerialTest.h"

namespace lumen::testing {
namespace {

using ScanTest = SerialTest;

TEST_F(ScanTest, ScanJobIsResolvedWithThePhoneAdvertisingItsService) {
  Open(PhonesScenario());
  m_scanner = GetScanner();
  m_scanner->SetAdvCallback(&RecordAdvert);
  m_scanner->SetScanCallback(&RecordScanJob);
  m_scanner->AddScanJob(L"phone", {kPhoneService});
  ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard)) << "the job did not start scanning";
  m_radio->Advance(std::chrono::milliseconds(300));
  // The scanner resolves jobs on its own one-second tick.
  ASSERT_TRUE(g_app.WaitUntil([] { return !g_app.jobs.empty(); })) << "the job was never resolved";
  std::lock_guard lock(g_app.mutex);
  EXPECT_EQ(g_app.jobs, std::vector<std::wstring>{L"phone"});
  EXPECT_EQ(g_app.jobAddresses, std::vector<std::string>{kPhoneAddress});
}

TEST_F(ScanTest, EveryAdvertisementTheRadioReportsReachesTheApplication) {
  Open(PhonesScenario());
  m_scanner = GetScanner();
  m_scanner->SetAdvCallback(&RecordAdvert);
  m_scanner->StartLeScan();
  m_radio->Advance(std::chrono::milliseconds(1000));
  std::map<std::string, int> reported;
  for (const RemoteFrame& frame : m_radio->SentFrames()) {
    if (frame.name == "ble_evt_gap_scan_response") {
      ++reported[frame.fields.at("sender").get<std::string>()];
    }
  }
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_GE(reported[kPhoneAddress], 10);
  EXPECT_GE(reported[kBackgroundPhoneAddress], 5);
  ASSERT_TRUE(g_app.WaitUntil([&] {
    return g_app.adverts[kPhoneAddress] >= reported[kPhoneAddress] &&
           g_app.adverts[kBackgroundPhoneAddress] >= reported[kBackgroundPhoneAddress];
  })) << "advertisements were lost";
  std::lock_guard lock(g_app.mutex);
  EXPECT_EQ(g_app.adverts, reported);
  const auto background = g_app.devices.at(kBackgroundPhoneAddress);
  EXPECT_TRUE(background->IsRandomAddress());
  EXPECT_FALSE(background->HasUuidInAdvert());
  EXPECT_TRUE(g_app.devices.at(kPhoneAddress)->HasAdvertUuid(kPhoneService));
  EXPECT_DOUBLE_EQ(g_app.devices.at(kPhoneAddress)->MeanRssi(), -55.0);
}

TEST_F(ScanTest, StoppedScanEndsDiscoveryOnTheRadio) {
  Open(PhonesScenario());
  m_scanner = GetScanner();
  m_scanner->SetAdvCallback(&RecordAdvert);
  m_scanner->StartLeScan();
  EXPECT_TRUE(m_radio->State().at("discovering").get<bool>());
  m_scanner->StopLeScan();
  EXPECT_FALSE(m_radio->State().at("discovering").get<bool>());

  m_radio->ClearFrames();
  m_radio->Advance(std::chrono::milliseconds(1000));
  for (const RemoteFrame& frame : m_radio->SentFrames()) {
    EXPECT_NE(frame.name, "ble_evt_gap_scan_response") << "the radio still reports advertisements";
  }
}

TEST_F(ScanTest, ScanParametersReachTheRadio) {
  Open(PhonesScenario());
  m_scanner = GetScanner();
  m_scanner->SetScanParameters(0x4B0, 0x30);
  m_scanner->SetScanParametersForEstablishingConnections(0x60, 0x20);
  const auto state = m_radio->State();
  EXPECT_EQ(state.at("scan_interval"), 0x4B0);
  EXPECT_EQ(state.at("scan_window"), 0x30);
  EXPECT_FALSE(state.at("active_scanning").get<bool>()) << "the scanner scans passively";
  EXPECT_EQ(state.at("initiating_scan_interval"), 0x60);
  EXPECT_EQ(state.at("initiating_scan_window"), 0x20);
}

}  // namespace
}  // namespace lumen::testing
