#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <chrono>
#include <climits>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/BluetoothSDK.h"
#include "core/CallbacksManager.h"
#include "core/ConnectionTable.h"
#include "core/Event.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Errors.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "scan/DevicesInRange.h"
#include "scan/ScannerFakes.h"
#include "scan/ScannerImpl.h"
#include "support/LogCapture.h"

namespace lumen {
namespace {

using scannertest::InstalledProvider;
using scannertest::ManualClocks;
using scannertest::RecordingProvider;
using testing::LogCapture;

// Keeps the real tick timer from firing during a test; ticks are driven.
constexpr std::chrono::milliseconds kNoRealTicks = std::chrono::hours(24);
constexpr std::chrono::milliseconds kFastRealTicks(10);

const Uuid kUuidA(std::string("6e400001-b5a3-f393-e0a9-e50e24dcca9e"));
const Uuid kUuidB(std::string("0000fe9f-0000-1000-8000-00805f9b34fb"));

// A BGAPI scan-response record as the backends publish it.
std::vector<uint8_t> ScanResponse(uint8_t addressByte, int8_t rssi, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> record = {static_cast<uint8_t>(rssi),
                                 0x00,
                                 addressByte,
                                 0x11,
                                 0x22,
                                 0x33,
                                 0x44,
                                 0x55,
                                 0x00 /*public*/,
                                 0xFF /*no bond*/,
                                 static_cast<uint8_t>(data.size())};
  record.insert(record.end(), data.begin(), data.end());
  return record;
}

// Advertising data with one complete 128-bit UUID list.
std::vector<uint8_t> AdvertisingUuid(const Uuid& uuid) {
  std::vector<uint8_t> data = {17, 0x07};
  for (int i = 15; i >= 0; --i) {
    data.push_back(uuid.bytes()[i]);  // little-endian on air
  }
  return data;
}

void PublishAdvert(const std::vector<uint8_t>& record) {
  details::Publish<const details::bglib::ble_msg_gap_scan_response_evt_t*>(
      "ble_evt_gap_scan_response",
      reinterpret_cast<const details::bglib::ble_msg_gap_scan_response_evt_t*>(record.data()));
}

// What the application callbacks saw; they are plain function pointers.
struct Seen {
  std::mutex mutex;
  std::vector<std::wstring> jobs;
  std::vector<std::vector<std::shared_ptr<BluetoothDevice>>> jobDevices;
  int adverts = 0;
  RecordingProvider* provider = nullptr;

  void Clear() {
    std::lock_guard lock(mutex);
    jobs.clear();
    jobDevices.clear();
    adverts = 0;
    provider = nullptr;
  }
};
Seen g_seen;

bool OnScan(const std::wstring& job, std::vector<std::shared_ptr<BluetoothDevice>>& devices) {
  std::lock_guard lock(g_seen.mutex);
  g_seen.jobs.push_back(job);
  g_seen.jobDevices.push_back(devices);
  return false;  // ignored
}

bool OnAdvert(std::shared_ptr<BluetoothDevice>& /*device*/) {
  std::lock_guard lock(g_seen.mutex);
  ++g_seen.adverts;
  return true;
}

void OnHardwareFailure() { g_seen.provider->Note("HardwareFailureCallback"); }
void OnSoftReset(bool removesDevice) {
  g_seen.provider->Note(removesDevice ? "SoftResetCallback(removes)" : "SoftResetCallback(stays)");
}

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    details::Event::SetGlobalReset(false);  // an earlier test may have closed a radio
    details::ClearAllConnections();
    g_seen.Clear();
    g_seen.provider = &*m_provider;
    m_scanner = std::make_unique<Scanner::Impl>();
    m_scanner->SetTickIntervalForTesting(kNoRealTicks);
  }

  void TearDown() override {
    m_scanner.reset();
    Set_HardwareFailureCallback(nullptr);
    Set_HardwareSoftResetInitiatedCallback(nullptr);
    details::ClearAllConnections();
    g_seen.Clear();
  }

  void Ticks(int count) {
    for (int i = 0; i < count; ++i) {
      m_scanner->TickNowForTesting();
    }
  }

  // Everything posted so far has run.
  void Drain() { m_scanner->RunOnWorkerForTesting({}); }

  bool HasJobs() {
    bool hasJobs = false;
    m_scanner->RunOnWorkerForTesting([&] { hasJobs = m_scanner->DevicesForTesting().HasJobs(); });
    return hasJobs;
  }

  size_t CachedDevices() {
    size_t size = 0;
    m_scanner->RunOnWorkerForTesting([&] { size = m_scanner->DevicesForTesting().size(); });
    return size;
  }

  // Starts scanning with the radio asking for it permanently.
  void StartContinuousScanning() {
    m_provider->continuous = true;
    m_scanner->StartLeScan();
    ASSERT_TRUE(m_provider->scanning.load());
    m_provider->Clear();
  }

  ManualClocks m_clocks;
  InstalledProvider m_provider;
  LogCapture m_log;
  std::unique_ptr<Scanner::Impl> m_scanner;
};

TEST_F(ScannerTest, AddingAJobUnderAnExistingNameReplacesItsUuids) {
  m_scanner->SetScanCallback(&OnScan);
  m_scanner->AddScanJob(L"job", {kUuidA});
  m_scanner->AddScanJob(L"job", {kUuidB});
  Drain();
  EXPECT_TRUE(m_log.Has(Logger::INFO, "Start scanning after adding scan job"));

  PublishAdvert(ScanResponse(0x01, -50, AdvertisingUuid(kUuidA)));
  Ticks(1);
  EXPECT_TRUE(g_seen.jobs.empty()) << "the replaced UUID set must no longer match";

  PublishAdvert(ScanResponse(0x02, -50, AdvertisingUuid(kUuidB)));
  Ticks(1);
  ASSERT_EQ(g_seen.jobs, std::vector<std::wstring>{L"job"});
  ASSERT_EQ(g_seen.jobDevices[0].size(), 1u);
  EXPECT_EQ(g_seen.jobDevices[0][0]->address().bytes()[0], 0x02);
  EXPECT_FALSE(HasJobs()) << "one job of that name, resolved once";
  Ticks(1);
  EXPECT_EQ(g_seen.jobs.size(), 1u);
}

TEST_F(ScannerTest, CancellingAnUnknownJobKeepsScanningFor120Seconds) {
  StartContinuousScanning();
  m_provider->continuous = false;  // from now on only recent activity holds scanning
  m_scanner->CancelScanJob(L"never added");
  Drain();
  EXPECT_FALSE(m_log.Has(Logger::INFO, "Stop scanning after cancelling scan job"));

  m_clocks.AdvanceMs(119'999);
  Ticks(1);
  EXPECT_EQ(m_provider->Count("EndProcedure"), 0u);
  EXPECT_TRUE(m_log.Has(Logger::DEBUG, "continue scanning because of a recent scan job cancellation"));

  const int64_t arms = m_scanner->TimerArmsForTesting();
  m_clocks.AdvanceMs(1);
  Ticks(1);
  EXPECT_EQ(m_provider->Count("EndProcedure"), 1u);
  EXPECT_EQ(m_scanner->TimerArmsForTesting(), arms) << "a tick that stops scanning must not re-arm";
}

TEST_F(ScannerTest, RecentDisconnectionKeepsScanningFor120Seconds) {
  StartContinuousScanning();
  m_provider->continuous = false;
  details::Publish<unsigned int>("common_evt_disconnect", 7);
  m_clocks.AdvanceMs(119'000);
  Ticks(1);
  EXPECT_EQ(m_provider->Count("EndProcedure"), 0u);
  EXPECT_TRUE(m_log.Has(Logger::DEBUG, "continue scanning because of a recent disconnection"));
  m_clocks.AdvanceMs(1'000);
  Ticks(1);
  EXPECT_EQ(m_provider->Count("EndProcedure"), 1u);
}

TEST_F(ScannerTest, TickWhileTheRadioIsBeingOpenedNeitherStopsScanningNorTheTicks) {
  StartContinuousScanning();
  // Initialize is opening a new radio, which does not yet know it scans continuously.
  m_provider->continuous = false;
  const int64_t arms = m_scanner->TimerArmsForTesting();
  {
    const details::BluetoothSDKOpening opening;
    Ticks(2);
  }
  EXPECT_EQ(m_provider->Count("EndProcedure"), 0u);
  EXPECT_EQ(m_scanner->TimerArmsForTesting(), arms + 2) << "the ticks must come back";
  EXPECT_TRUE(m_log.Has(Logger::DEBUG, "OnTimer: the radio is being opened, tick skipped"));

  // Opened, and really not scanning continuously: the next tick decides.
  Ticks(1);
  EXPECT_EQ(m_provider->Count("EndProcedure"), 1u);
}

TEST_F(ScannerTest, ContinuousScanningNeverStopsOnItsOwnButStopLeScanStopsIt) {
  StartContinuousScanning();
  for (int hour = 0; hour < 3; ++hour) {
    m_clocks.AdvanceMs(3'600'000);
    Ticks(1);
  }
  EXPECT_EQ(m_provider->Count("EndProcedure"), 0u);

  m_scanner->StopLeScan();
  EXPECT_EQ(m_provider->Count("EndProcedure"), 1u);
  EXPECT_FALSE(m_provider->scanning.load());
  const int64_t arms = m_scanner->TimerArmsForTesting();
  Ticks(1);
  EXPECT_EQ(m_scanner->TimerArmsForTesting(), arms);
  EXPECT_EQ(m_provider->Count("StartScan"), 0u);
}

TEST_F(ScannerTest, AfterStopLeScanAddedJobsDoNotStartScanning) {
  m_scanner->StopLeScan();
  m_log.Clear();
  m_scanner->AddScanJob(L"job", {kUuidA});
  Drain();
  EXPECT_FALSE(m_log.Has(Logger::INFO, "Start scanning after adding scan job"));
  EXPECT_EQ(m_provider->Count("StartScan"), 0u);

  m_scanner->StartLeScan();
  EXPECT_EQ(m_provider->Count("StartScan"), 1u);
}

TEST_F(ScannerTest, WatchdogRestartsOnTenthSilentTickAndResetsDongleOnThe300th) {
  Set_HardwareFailureCallback(&OnHardwareFailure);
  Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
  m_provider->resetRemovesDevice = true;
  StartContinuousScanning();
  details::DeviceConnectionHandle connection;
  connection.Connect(42);

  Ticks(9);
  EXPECT_EQ(m_provider->Count("StartScan"), 0u);
  Ticks(1);
  EXPECT_EQ(m_provider->Count("StartScan"), 1u);
  EXPECT_TRUE(m_log.Has(Logger::WARNING, "restart scanning because we've gone 10 timer ticks with no advertisements"));

  Ticks(289);
  EXPECT_EQ(m_provider->Count("StartScan"), 1u) << "one restart per silent stretch";
  EXPECT_EQ(m_provider->Count("DelayedNonDFUReset"), 0u);
  EXPECT_EQ(m_scanner->TicksWithoutAdvertsForTesting(), 299);

  m_provider->Clear();
  Ticks(1);
  EXPECT_TRUE(m_log.Has(Logger::WARNING,
                        "trigger reset hardware_radio_error because we've gone 300 timer ticks with no advertisements, "
                        "indicating the Bluegiga hardware failed"));
  const auto calls = m_provider->Calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[0].name, "HardwareFailureCallback");
  EXPECT_EQ(calls[1].name, "SoftResetCallback(removes)");
  EXPECT_EQ(calls[2].name, "DelayedNonDFUReset");
  EXPECT_EQ(calls[2].a, 3000);
  EXPECT_EQ(calls[2].b, 0) << "a re-enumerating dongle cannot be waited for";
  EXPECT_EQ(calls[3].name, "CloseDevice");
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_FALSE(details::AnyConnectionOpen());
  EXPECT_EQ(m_scanner->TicksWithoutAdvertsForTesting(), 0);

  // The count starts again from zero.
  m_provider->Clear();
  m_provider->scanning = true;
  Ticks(9);
  EXPECT_EQ(m_provider->Count("StartScan"), 0u);
  Ticks(1);
  EXPECT_EQ(m_provider->Count("StartScan"), 1u);
}

TEST_F(ScannerTest, AnAdvertBetweenSilentTicksStartsTheCountAgain) {
  StartContinuousScanning();
  Ticks(9);
  PublishAdvert(ScanResponse(0x01, -60, {}));
  Ticks(1);
  EXPECT_EQ(m_scanner->TicksWithoutAdvertsForTesting(), 0);
  Ticks(9);
  EXPECT_EQ(m_provider->Count("StartScan"), 0u);
  Ticks(1);
  EXPECT_EQ(m_provider->Count("StartScan"), 1u);
}

TEST_F(ScannerTest, RadioErrorEventResetsAModuleWithoutClosingItsPort) {
  Set_HardwareFailureCallback(&OnHardwareFailure);
  Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
  m_provider->resetRemovesDevice = false;
  details::DeviceConnectionHandle connection;
  connection.Connect(43);

  details::Publish<const void*>("ble_evt_hardware_radio_error", nullptr);
  Drain();
  EXPECT_TRUE(m_log.Has(Logger::INFO, "received ble_evt_hardware_radio_error, reset hardware"));
  const auto calls = m_provider->Calls();
  std::vector<std::string> names;
  for (const auto& call : calls) {
    names.push_back(call.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"SetScanningStateCallback", "HardwareFailureCallback",
                                             "SoftResetCallback(stays)", "DelayedNonDFUReset"}));
  EXPECT_EQ(calls[3].a, 0);
  EXPECT_EQ(calls[3].b, 1) << "a module that stays attached is waited for";
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_TRUE(m_log.Has(Logger::INFO, "ForceResetAfterHardwareRadioError: after hardware_radio_error, done handling"));
}

TEST_F(ScannerTest, RadioErrorEventResetsAndClosesADongle) {
  m_provider->resetRemovesDevice = true;
  details::Publish<const void*>("ble_evt_hardware_radio_error", nullptr);
  Drain();
  EXPECT_EQ(m_provider->Count("DelayedNonDFUReset"), 1u);
  EXPECT_EQ(m_provider->Count("CloseDevice"), 1u);
  EXPECT_FALSE(m_provider->IsDeviceOpen());
}

TEST_F(ScannerTest, BacklogWarningsComeOncePerTenfoldThreshold) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  m_scanner->PostForTesting([released] { released.wait(); });  // holds the worker
  const auto record = ScanResponse(0x05, -40, {});
  for (int i = 0; i < 101; ++i) {
    PublishAdvert(record);
  }
  release.set_value();
  Drain();

  const std::string suffix = " advertisements have been received but are not yet processed";
  EXPECT_TRUE(m_log.Has(Logger::WARNING, "2" + suffix));
  EXPECT_TRUE(m_log.Has(Logger::WARNING, "11" + suffix));
  EXPECT_TRUE(m_log.Has(Logger::WARNING, "101" + suffix));
  EXPECT_EQ(m_scanner->PendingAdvertsForTesting(), 0);

  std::promise<void> releaseAgain;
  std::shared_future<void> releasedAgain = releaseAgain.get_future().share();
  m_scanner->PostForTesting([releasedAgain] { releasedAgain.wait(); });
  for (int i = 0; i < 101; ++i) {
    PublishAdvert(record);
  }
  releaseAgain.set_value();
  Drain();
  size_t warnings = 0;
  for (const auto& line : m_log.Lines()) {
    warnings += line.type == Logger::WARNING && line.text.find(suffix) != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(warnings, 3u) << "the threshold never comes down";
}

TEST_F(ScannerTest, AdvertWhileNotScanningIsDroppedButFeedsTheWatchdog) {
  m_scanner->SetAdvCallback(&OnAdvert);
  StartContinuousScanning();
  Ticks(5);
  m_scanner->StopLeScan();
  PublishAdvert(ScanResponse(0x07, -55, {}));
  Drain();
  EXPECT_EQ(g_seen.adverts, 0);
  EXPECT_EQ(CachedDevices(), 0u);

  m_scanner->StartLeScan();
  Ticks(1);
  EXPECT_EQ(m_scanner->TicksWithoutAdvertsForTesting(), 0);

  PublishAdvert(ScanResponse(0x07, -55, {}));
  Drain();
  EXPECT_EQ(g_seen.adverts, 1);
  EXPECT_EQ(CachedDevices(), 1u);
}

TEST_F(ScannerTest, CancelledTimerNeitherLogsNorRearms) {
  StartContinuousScanning();
  const int64_t arms = m_scanner->TimerArmsForTesting();
  m_log.Clear();
  m_scanner->DeliverTimerForTesting(boost::asio::error::operation_aborted);
  EXPECT_TRUE(m_log.Lines().empty());
  EXPECT_EQ(m_scanner->TimerArmsForTesting(), arms);
}

TEST_F(ScannerTest, UnexpectedTimerErrorIsLoggedAndTheTickGoesOn) {
  StartContinuousScanning();
  const int64_t arms = m_scanner->TimerArmsForTesting();
  m_scanner->DeliverTimerForTesting(boost::system::error_code(5, boost::system::system_category()));
  EXPECT_TRUE(m_log.Has(Logger::ERROR, "OnTimer callback recieved error code: system:5 which is unexpected"));
  EXPECT_EQ(m_scanner->TimerArmsForTesting(), arms + 1);
}

TEST_F(ScannerTest, StartFailureInAPostedStepDoesNotStopLaterTicks) {
  m_scanner->SetTickIntervalForTesting(kFastRealTicks);
  m_provider->startScanFailures = 1;
  m_scanner->AddScanJob(L"job", {kUuidA});
  ASSERT_TRUE(m_log.WaitFor(Logger::ERROR, "Unhandled exception in message queue work thread: start scan failed"));

  // Real ticks keep coming: the first retries the start, and ten silent ones
  // later the watchdog restarts scanning.
  EXPECT_TRUE(m_provider->WaitForCount("StartScan", 2));
  EXPECT_TRUE(m_provider->WaitForCount("StartScan", 3));
  EXPECT_TRUE(m_log.Has(Logger::WARNING, "restart scanning because we've gone 10 timer ticks with no advertisements"));
  m_scanner->StopLeScan();
}

TEST_F(ScannerTest, NordicRestartRequestStartsAPausedScan) {
  StartContinuousScanning();
  details::Publish<void*>("request_start_scan", nullptr);
  Drain();
  EXPECT_EQ(m_provider->Count("StartScan"), 0u) << "already scanning";

  m_provider->scanning = false;
  details::Publish<void*>("request_start_scan", nullptr);
  Drain();
  EXPECT_EQ(m_provider->Count("StartScan"), 1u);
}

TEST_F(ScannerTest, HugeCacheTimeoutKeepsDevicesInsteadOfExpiringThemAll) {
  StartContinuousScanning();
  m_scanner->SetScanCacheTimeout(UINT_MAX);
  PublishAdvert(ScanResponse(0x09, -50, {}));
  Drain();
  m_clocks.AdvanceMs(1000);
  Ticks(1);
  EXPECT_EQ(CachedDevices(), 1u);

  m_scanner->SetScanCacheTimeout(500);
  Ticks(1);
  EXPECT_EQ(CachedDevices(), 0u);
}

TEST_F(ScannerTest, DestroyedScannerNoLongerReceivesAdverts) {
  m_scanner.reset();
  m_log.Clear();
  PublishAdvert(ScanResponse(0x01, -50, {}));
  EXPECT_TRUE(m_log.Has(Logger::WARNING, "Unhandled callback ble_evt_gap_scan_response"));
}

TEST(ScannerApiTest, ConstructionWithoutLibraryFailsNotInitialized) {
  try {
    Scanner scanner;
    FAIL() << "expected an error";
  } catch (const details::KesBluetoothSDKLibError& e) {
    EXPECT_STREQ(e.what(), "BluetoothSDK not initialized");
  }
}

TEST(ScannerApiTest, ExportedScannerForwardsToTheRadioAndReportsItsState) {
  std::unique_ptr<Scanner> scanner;
  {
    InstalledProvider provider;
    scanner = GetScanner();
    scanner->SetScanParameters(0x40, 0x20);
    const auto calls = provider->Calls();
    ASSERT_EQ(calls.back().name, "SetScanParameters");
    EXPECT_EQ(calls.back().a, 0x40);
    EXPECT_EQ(calls.back().b, 0x20) << "always passive";
    EXPECT_TRUE(scanner->IsConnected());
    provider->open = false;
    EXPECT_FALSE(scanner->IsConnected());
  }
  EXPECT_FALSE(scanner->IsConnected()) << "no library, no radio";
  LogCapture log;
  scanner.reset();
  EXPECT_TRUE(log.Has(Logger::INFO, "Scanner done waiting for stop-timer event"));
}

}  // namespace
}  // namespace lumen
