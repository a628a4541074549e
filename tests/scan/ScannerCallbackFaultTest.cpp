// Application callbacks that fail, keep what they are given or release the
// scanner, against the virtual BLED112 through the real Bluegiga provider.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/ConnectionTable.h"
#include "lumen/BluegigaCommands.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "scan/ScannerImpl.h"
#include "sim/VirtualBled112.h"
#include "support/Guard.h"
#include "support/LogCapture.h"
#include "support/PhoneScenario.h"

namespace lumen {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;

constexpr std::chrono::milliseconds kNoRealTicks = std::chrono::hours(24);
// Real ticks for the tests about the timer itself; 300 silent ones (the radio
// reset) stay far beyond any test.
constexpr std::chrono::milliseconds kRealTicks(50);
using testing::kGuard;

using testing::kPhoneAddress;
using testing::kPhoneService;

// The phone only advertises.
std::string Scenario(const std::string& variant) {
  return testing::Bled112Scenario(testing::PhonePeripheral({.gatt = ""}), variant);
}

enum class Failure { kStdException, kOtherException };
std::atomic<Failure> g_failure{Failure::kStdException};

[[noreturn]] void FailAsApplication() {
  if (g_failure.load() == Failure::kStdException) {
    throw std::runtime_error("application failure");
  }
  throw 42;
}

// What the application's callbacks saw. They are plain function pointers, so
// the state is global.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  int adverts = 0;
  std::vector<std::wstring> jobs;
  std::vector<std::shared_ptr<BluetoothDevice>> jobDevices;
  std::vector<std::shared_ptr<BluetoothDevice>> kept;
  int hardwareFailures = 0;
  int softResets = 0;

  void Clear() {
    std::lock_guard lock(mutex);
    adverts = 0;
    jobs.clear();
    jobDevices.clear();
    kept.clear();
    hardwareFailures = 0;
    softResets = 0;
  }
  void CountAdvert() {
    {
      std::lock_guard lock(mutex);
      ++adverts;
    }
    changed.notify_all();
  }
  void RecordJob(const std::wstring& job, const std::vector<std::shared_ptr<BluetoothDevice>>& devices) {
    {
      std::lock_guard lock(mutex);
      jobs.push_back(job);
      jobDevices.insert(jobDevices.end(), devices.begin(), devices.end());
    }
    changed.notify_all();
  }
};
Seen g_seen;

// A scanner the application keeps in a global and may release from a callback.
std::unique_ptr<Scanner> g_owned;

bool CountAdvert(std::shared_ptr<BluetoothDevice>& /*device*/) {
  g_seen.CountAdvert();
  return true;
}

bool FailingAdvert(std::shared_ptr<BluetoothDevice>& /*device*/) {
  g_seen.CountAdvert();
  FailAsApplication();
}

bool KeepingAdvert(std::shared_ptr<BluetoothDevice>& device) {
  {
    std::lock_guard lock(g_seen.mutex);
    g_seen.kept.push_back(std::move(device));
  }
  g_seen.CountAdvert();
  return true;
}

bool ReleasingAdvert(std::shared_ptr<BluetoothDevice>& /*device*/) {
  g_seen.CountAdvert();
  g_owned.reset();
  return true;
}

bool RecordJob(const std::wstring& job, std::vector<std::shared_ptr<BluetoothDevice>>& devices) {
  g_seen.RecordJob(job, devices);
  return true;
}

// Job "a" fails after it was seen; every other job is only recorded.
bool FailOnJobA(const std::wstring& job, std::vector<std::shared_ptr<BluetoothDevice>>& devices) {
  g_seen.RecordJob(job, devices);
  if (job == L"a") {
    FailAsApplication();
  }
  return true;
}

bool ReleasingScan(const std::wstring& job, std::vector<std::shared_ptr<BluetoothDevice>>& devices) {
  g_owned.reset();
  g_seen.RecordJob(job, devices);
  return true;
}

void FailingHardwareFailure() {
  {
    std::lock_guard lock(g_seen.mutex);
    ++g_seen.hardwareFailures;
  }
  FailAsApplication();
}

void FailingSoftReset(bool /*removesDevice*/) {
  {
    std::lock_guard lock(g_seen.mutex);
    ++g_seen.softResets;
  }
  FailAsApplication();
}

std::atomic<int> g_logCalls{0};
void FailingLog(Logger::LogType /*type*/, const std::string& /*text*/) {
  ++g_logCalls;
  FailAsApplication();
}

class ScannerCallbackFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.Clear();
    details::ClearAllConnections();
  }

  void Open(const std::string& variant = "dongle", std::chrono::milliseconds tick = kNoRealTicks) {
    m_radio = std::make_unique<sim::VirtualBled112>(sim::Scenario::FromJson(Scenario(variant)));
    ASSERT_TRUE(Initialize(m_radio->Path(), 0, variant == "dongle" ? BLED112Dongle : BLE113, false));
    m_scanner = GetScanner();
    Impl().SetTickIntervalForTesting(tick);
    m_scanner->SetAdvCallback(&CountAdvert);
  }

  void TearDown() override {
    m_scanner.reset();
    g_owned.reset();
    if (m_radio) {
      m_radio->Faults().Clear();
    }
    UnInitialize();
    m_radio.reset();
    Set_HardwareFailureCallback(nullptr);
    Set_HardwareSoftResetInitiatedCallback(nullptr);
    BluegigaCommands::SetBGTimeouts(3000, 3000);
    details::ClearAllConnections();
  }

  Scanner::Impl& Impl() { return details::ScannerAccess::ImplOf(*m_scanner); }

  // Scanning with the job, and the phone heard `adverts` times.
  void ScanForPhone(const std::wstring& job, int adverts = 2) {
    m_scanner->StartLeScan();
    m_scanner->AddScanJob(job, {kPhoneService});
    ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));
    HearPhone(adverts);
  }

  // A job resolved at one tick after the phone was heard three times, with
  // advert as the advertisement callback.
  void ResolveJobWithAdvCallback(AdvCallback advert) {
    Open();
    m_scanner->SetScanCallback(&RecordJob);
    m_scanner->SetAdvCallback(advert);
    ScanForPhone(L"job", 3);
    Impl().TickNowForTesting();
  }

  // Lets the phone advertise and waits until the scanner processed that many more.
  void HearPhone(int adverts = 2) {
    int target = 0;
    {
      std::lock_guard lock(g_seen.mutex);
      target = g_seen.adverts + adverts;
    }
    m_radio->Clock().AdvanceMs(100 * adverts + 100);
    ASSERT_TRUE(WaitUntil([&] { return g_seen.adverts >= target; })) << "adverts do not arrive";
  }

  template <class Predicate>
  static bool WaitUntil(Predicate predicate) {
    std::unique_lock lock(g_seen.mutex);
    return g_seen.changed.wait_for(lock, kGuard, predicate);
  }

  static bool JobSeen(const std::wstring& job) {
    for (const auto& seen : g_seen.jobs) {
      if (seen == job) {
        return true;
      }
    }
    return false;
  }

  LogCapture m_log;
  std::unique_ptr<sim::VirtualBled112> m_radio;
  std::unique_ptr<Scanner> m_scanner;
};

// --- callbacks that throw, both std::exception and anything else ---------------------

class ThrowingCallbackTest : public ScannerCallbackFaultTest, public ::testing::WithParamInterface<Failure> {
 protected:
  void SetUp() override {
    ScannerCallbackFaultTest::SetUp();
    g_failure = GetParam();
  }

  bool IsStd() const { return GetParam() == Failure::kStdException; }
};

TEST_P(ThrowingCallbackTest, FailingScanCallbackKeepsNoOtherJobFromItsReportAndTheTickRearms) {
  Open();
  m_scanner->SetScanCallback(&FailOnJobA);
  ScanForPhone(L"a");
  m_scanner->AddScanJob(L"b", {kPhoneService});  // runs before the tick below
  const int64_t arms = Impl().TimerArmsForTesting();

  EXPECT_NO_THROW(Impl().TickNowForTesting());

  {
    std::lock_guard lock(g_seen.mutex);
    EXPECT_EQ(g_seen.jobs, (std::vector<std::wstring>{L"a", L"b"})) << "both jobs are reported in the same tick";
  }
  EXPECT_EQ(Impl().TimerArmsForTesting(), arms + 1) << "the tick must arm its successor";
  EXPECT_TRUE(IsStd() ? m_log.Has(Logger::WARNING,
                                  "OnTimer callback caused exception, which is unexpected: application failure")
                      : m_log.Has(Logger::WARNING, "OnTimer callback caused non-std::exception, which is unexpected"));
}

TEST_P(ThrowingCallbackTest, RealTicksKeepComingAfterTheScanCallbackFailed) {
  Open("dongle", kRealTicks);
  m_scanner->SetScanCallback(&FailOnJobA);
  ScanForPhone(L"a");
  ASSERT_TRUE(WaitUntil([] { return JobSeen(L"a"); }));

  m_scanner->AddScanJob(L"b", {kPhoneService});
  HearPhone();
  EXPECT_TRUE(WaitUntil([] { return JobSeen(L"b"); })) << "no tick resolved the later job";
}

TEST_P(ThrowingCallbackTest, FailingAdvCallbackStillLetsTheDeviceResolveAJob) {
  ResolveJobWithAdvCallback(&FailingAdvert);

  std::lock_guard lock(g_seen.mutex);
  EXPECT_EQ(g_seen.jobs, std::vector<std::wstring>{L"job"}) << "the failure must not skip entering the device";
  EXPECT_TRUE(IsStd() ? m_log.Has(Logger::WARNING,
                                  "ProcessAdvPacket crashed. Please report this trace message, which is related to "
                                  "defect TK-2200: application failure")
                      : m_log.Has(Logger::WARNING,
                                  "ProcessAdvPacket crashed with non-std::exception. Please report this trace message, "
                                  "which is related to defect TK-2200"));
}

TEST_P(ThrowingCallbackTest, FailingLogCallbackNeverReachesTheLibrary) {
  Open();
  m_scanner->SetScanCallback(&RecordJob);
  const Logger::Callback capture = Logger::callback_.load();
  g_logCalls = 0;
  Logger::SetLogCallback(&FailingLog);

  EXPECT_NO_THROW(Logger::Log(Logger::INFO, "text", 1));
  EXPECT_NO_THROW(ScanForPhone(L"job"));
  const int64_t arms = Impl().TimerArmsForTesting();
  EXPECT_NO_THROW(Impl().TickNowForTesting());
  EXPECT_EQ(Impl().TimerArmsForTesting(), arms + 1);
  Logger::SetLogCallback(capture);

  EXPECT_GT(g_logCalls.load(), 1);
  std::lock_guard lock(g_seen.mutex);
  EXPECT_EQ(g_seen.jobs, std::vector<std::wstring>{L"job"});
}

TEST_P(ThrowingCallbackTest, FailingHardwareCallbacksDoNotStopTheRadioReset) {
  Open("module");
  Set_HardwareFailureCallback(&FailingHardwareFailure);
  Set_HardwareSoftResetInitiatedCallback(&FailingSoftReset);

  m_radio->Faults().SendRadioError();

  ASSERT_TRUE(
      m_log.WaitFor(Logger::INFO, "ForceResetAfterHardwareRadioError: after hardware_radio_error, done handling"));
  EXPECT_TRUE(m_radio->WaitForSent("system_boot", kGuard)) << "the module was reset";
  {
    std::lock_guard lock(g_seen.mutex);
    EXPECT_EQ(g_seen.hardwareFailures, 1);
    EXPECT_EQ(g_seen.softResets, 1);
  }
  if (IsStd()) {
    EXPECT_TRUE(m_log.Has(Logger::ERROR, "hardware failure callback caused exception: application failure"));
    EXPECT_TRUE(m_log.Has(Logger::ERROR, "hardware soft reset callback caused exception: application failure"));
  } else {
    EXPECT_TRUE(m_log.Has(Logger::ERROR, "hardware failure callback caused non-std::exception"));
    EXPECT_TRUE(m_log.Has(Logger::ERROR, "hardware soft reset callback caused non-std::exception"));
  }
}

TEST_P(ThrowingCallbackTest, UnansweredCommandReportsItsOwnErrorWhenTheFailureCallbackThrows) {
  Open("module");
  Set_HardwareFailureCallback(&FailingHardwareFailure);
  BluegigaCommands::SetBGTimeouts(200, 200);
  m_radio->Faults().StopAnswering();

  std::string error = "no error";
  try {
    m_scanner->SetScanParameters(0x40, 0x20);
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "the application's exception";
  }
  EXPECT_NE(error.find("no response"), std::string::npos) << error;
  std::lock_guard lock(g_seen.mutex);
  EXPECT_EQ(g_seen.hardwareFailures, 1);
}

std::string FailureName(const ::testing::TestParamInfo<Failure>& failure) {
  return failure.param == Failure::kStdException ? "StdException" : "OtherException";
}

INSTANTIATE_TEST_SUITE_P(BothKinds, ThrowingCallbackTest,
                         ::testing::Values(Failure::kStdException, Failure::kOtherException), FailureName);

// --- an advertisement callback that keeps the device ----------------------------------

TEST_F(ScannerCallbackFaultTest, AdvCallbackMayMoveTheDevicePointerOut) {
  ResolveJobWithAdvCallback(&KeepingAdvert);

  std::lock_guard lock(g_seen.mutex);
  ASSERT_GE(g_seen.kept.size(), 3U);
  for (const auto& device : g_seen.kept) {
    ASSERT_TRUE(device);
    EXPECT_EQ(device, g_seen.kept.front()) << "one device object per address";
  }
  ASSERT_EQ(g_seen.jobDevices.size(), 1U);
  EXPECT_EQ(g_seen.jobDevices.front(), g_seen.kept.front());
  EXPECT_EQ(g_seen.kept.front()->address().ToString(), kPhoneAddress);
}

// --- the tick's own survival -----------------------------------------------------------

TEST_F(ScannerCallbackFaultTest, TickSurvivesAnUninitialisedSpell) {
  Open("dongle", kRealTicks);
  m_scanner->StartLeScan();
  ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));

  UnInitialize();
  ASSERT_TRUE(
      m_log.WaitFor(Logger::WARNING, "OnTimer got exception, which is unexpected: BluetoothSDK not initialized"));
  ASSERT_TRUE(Initialize(m_radio->Path(), 0, BLED112Dongle, false));
  m_log.Clear();

  // Only the tick runs the watchdog, the jobs and the cache expiry.
  EXPECT_TRUE(m_log.WaitFor(Logger::DEBUG, "OnTimer")) << "no tick after re-initialising";
}

TEST_F(ScannerCallbackFaultTest, NewScannerOnARadioAlreadyScanningStillResolvesItsJob) {
  Open("dongle", kRealTicks);
  m_scanner->StartLeScan();
  ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));
  m_scanner.reset();  // the radio keeps scanning

  m_scanner = GetScanner();
  Impl().SetTickIntervalForTesting(kRealTicks);
  m_scanner->SetAdvCallback(&CountAdvert);
  m_scanner->SetScanCallback(&RecordJob);
  m_scanner->AddScanJob(L"job", {kPhoneService});
  HearPhone();

  EXPECT_TRUE(WaitUntil([] { return JobSeen(L"job"); })) << "no tick was armed for the job";
}

// --- the scanner released from its own callback ----------------------------------------

TEST_F(ScannerCallbackFaultTest, ScannerReleasedFromItsScanCallbackIsTornDownPromptly) {
  Open("dongle", kRealTicks);
  g_owned = std::move(m_scanner);
  g_owned->SetScanCallback(&ReleasingScan);
  g_owned->StartLeScan();
  g_owned->AddScanJob(L"job", {kPhoneService});
  ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));
  m_radio->Clock().AdvanceMs(300);

  ASSERT_TRUE(WaitUntil([] { return JobSeen(L"job"); }));
  ASSERT_TRUE(m_log.WaitFor(Logger::INFO, "Scanner done waiting for stop-timer event"));
  EXPECT_FALSE(m_log.Has(Logger::DEBUG, "Stop timer timeout is expired"));
  EXPECT_FALSE(g_owned);
  std::lock_guard lock(g_seen.mutex);
  EXPECT_EQ(g_seen.jobs, std::vector<std::wstring>{L"job"});
}

TEST_F(ScannerCallbackFaultTest, ScannerReleasedFromItsAdvCallbackHearsNoMore) {
  Open("dongle", kRealTicks);
  g_owned = std::move(m_scanner);
  g_owned->SetAdvCallback(&ReleasingAdvert);
  g_owned->StartLeScan();
  ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));
  m_radio->Clock().AdvanceMs(500);

  ASSERT_TRUE(WaitUntil([] { return g_seen.adverts >= 1; }));
  ASSERT_TRUE(m_log.WaitFor(Logger::INFO, "Scanner done waiting for stop-timer event"));
  EXPECT_FALSE(m_log.Has(Logger::DEBUG, "Stop timer timeout is expired"));
  EXPECT_FALSE(g_owned);
  std::lock_guard lock(g_seen.mutex);
  EXPECT_EQ(g_seen.adverts, 1) << "no advertisement reaches a released scanner's callback";
}

}  // namespace
}  // namespace lumen
