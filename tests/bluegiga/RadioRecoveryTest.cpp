// A BLED112 whose port goes away while the application uses it, with the
// library's recovery on and off: what the application sees during the
// outage, and that the radio comes back as the application left it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/BluetoothSDK.h"
#include "core/RadioRecovery.h"
#include "lumen/Advertiser.h"
#include "lumen/BluegigaCommands.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Capture.h"
#include "lumen/Errors.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "sim/CaptureFile.h"
#include "sim/VirtualBled112.h"
#include "support/LogCapture.h"
#include "tests/bluegiga/BluegigaSimFixture.h"

namespace lumen {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;

constexpr auto kGuard = 30s;  // only ends a hang
using testing::kPhoneAddress;
using testing::kPhoneService;
using testing::kShortValue;
const std::vector<uint8_t> kAdvertisement{0x02, 0x01, 0x06, 0x03, 0xff, 0x12, 0x34};

// What the application's callbacks saw; plain function pointers, so global.
struct App {
  std::mutex mutex;
  std::condition_variable changed;
  std::shared_ptr<BluetoothDevice> phone;
  int phoneAdverts = 0;
  std::vector<std::string> events;
  std::function<void(bool)> onRadioBack;  // runs inside the callback

  template <class Predicate>
  bool WaitUntil(Predicate predicate) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kGuard, [&] { return predicate(*this); });
  }
  void Add(const std::string& event) {
    {
      std::lock_guard lock(mutex);
      events.push_back(event);
    }
    changed.notify_all();
  }
  size_t Count(const std::string& event) {
    std::lock_guard lock(mutex);
    return static_cast<size_t>(std::count(events.begin(), events.end(), event));
  }
};
App* g_app = nullptr;

bool OnAdvert(std::shared_ptr<BluetoothDevice>& device) {
  if (device->address().ToString() == kPhoneAddress) {
    {
      std::lock_guard lock(g_app->mutex);
      g_app->phone = device;
      ++g_app->phoneAdverts;
    }
    g_app->changed.notify_all();
  }
  return true;
}

void OnSoftReset(bool removal) { g_app->Add(removal ? "removed" : "reset"); }

void OnRadioBack(bool reopened, uint64_t /*awayMs*/) {
  std::function<void(bool)> extra;
  {
    std::lock_guard lock(g_app->mutex);
    extra = g_app->onRadioBack;
  }
  if (extra) {
    extra(reopened);
  }
  g_app->Add(reopened ? "back, reopened" : "back, port opens");
}

class RadioRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_app = &m_app;
    Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
    Set_RadioBackCallback(&OnRadioBack);
    m_link = (std::filesystem::temp_directory_path() / ("lumen-recovery-" + std::to_string(::getpid()))).string();
    sim::VirtualBled112Options options;
    options.linkPath = m_link;
    m_radio = std::make_unique<sim::VirtualBled112>(sim::Scenario::FromJson(testing::PhonesScenario()), options);
  }

  void TearDown() override {
    m_scanner.reset();
    {
      std::lock_guard lock(m_app.mutex);
      m_app.phone.reset();
    }
    UnInitialize();
    SetRadioRecovery(false);
    Set_RadioBackCallback(nullptr);
    Set_HardwareSoftResetInitiatedCallback(nullptr);
    m_radio.reset();
    g_app = nullptr;
  }

  void Open(bool recovery) {
    SetRadioRecovery(recovery);
    ASSERT_TRUE(Initialize(m_link, 0, BLED112Dongle, false));
    BluegigaCommands::SetBGTimeouts(5000, 5000);
    m_scanner = GetScanner();
    m_scanner->SetAdvCallback(&OnAdvert);
  }

  // Scans until one more of the phone's advertisements reached the application.
  void SeePhoneAgain() {
    int before = 0;
    {
      std::lock_guard lock(m_app.mutex);
      before = m_app.phoneAdverts;
    }
    // The radio hears the phone only while its scan window is open.
    for (int i = 0; i < 20; ++i) {
      m_radio->Clock().AdvanceMs(100);
      std::unique_lock lock(m_app.mutex);
      if (m_app.changed.wait_for(lock, 200ms, [&] { return m_app.phoneAdverts > before; })) {
        return;
      }
    }
    ASSERT_TRUE(m_app.WaitUntil([&](App& app) { return app.phoneAdverts > before; }))
        << "the phone's advertisement never reached the application";
  }

  std::vector<uint8_t> ReadPhone() {
    std::shared_ptr<BluetoothDevice> phone;
    {
      std::lock_guard lock(m_app.mutex);
      phone = m_app.phone;
    }
    if (!phone->IsConnected()) {
      phone->Connect();
    }
    auto characteristic = phone->GetService(kPhoneService)->GetCharacteristic(kShortValue);
    return characteristic->ReadValue(true);
  }

  void UnplugAndWaitUntilRemoved() {
    m_radio->Faults().Unplug();
    EXPECT_TRUE(m_app.WaitUntil(
        [](App& app) { return std::count(app.events.begin(), app.events.end(), std::string("removed")) != 0; }));
  }

  App m_app;
  bool m_reopened = false;
  LogCapture m_log;
  std::string m_link;
  std::unique_ptr<sim::VirtualBled112> m_radio;
  std::unique_ptr<Scanner> m_scanner;
};

TEST_F(RadioRecoveryTest, UnpluggedDongleIsReopenedAndPutBackAsTheApplicationLeftIt) {
  Open(true);
  m_scanner->SetScanParameters(200, 100);
  auto advertiser = GetAdvertiser();
  advertiser->SetAdvertisementParameters(400);
  advertiser->SetAdvertisementData(0, kAdvertisement);
  advertiser->StartAdvertising();
  m_scanner->StartLeScan();
  SeePhoneAgain();
  EXPECT_EQ(ReadPhone(), std::vector<uint8_t>{0x01});

  UnplugAndWaitUntilRemoved();
  ASSERT_TRUE(m_log.WaitForContaining(Logger::WARNING, "is away; lumen reopens it once its port returns"));
  EXPECT_TRUE(details::IsRadioAway());
  // During the outage calls fail at once, saying why.
  try {
    ReadPhone();
    ADD_FAILURE() << "a read while the radio is away succeeded";
  } catch (const std::exception& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("the radio is away")) << e.what();
  }
  EXPECT_THROW(advertiser->StopAdvertising(), details::KesBluetoothSDKLibError);
  // The application changes its mind: refused now, but advertising once back.
  EXPECT_THROW(advertiser->StartAdvertising(), details::KesBluetoothSDKLibError);
  EXPECT_EQ(m_app.Count("back, reopened"), 0u);

  m_radio->Faults().Replug();
  ASSERT_TRUE(m_app.WaitUntil([](App& app) { return !app.events.empty() && app.events.back() == "back, reopened"; }));
  EXPECT_FALSE(details::IsRadioAway());
  EXPECT_TRUE(details::GetBluetoothSDK()->IsDeviceOpen());
  EXPECT_TRUE(m_log.HasContaining(Logger::INFO, "is back after"));

  // Scanning resumes without the application asking.
  ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));
  const auto state = m_radio->State();
  EXPECT_EQ(state.scanIntervalUnits, 200);
  EXPECT_EQ(state.scanWindowUnits, 100);
  EXPECT_TRUE(state.advertising);
  EXPECT_EQ(state.advData, kAdvertisement);

  // The device object the application kept connects again.
  SeePhoneAgain();
  EXPECT_EQ(ReadPhone(), std::vector<uint8_t>{0x01});
  EXPECT_EQ(m_app.Count("removed"), 1u);
}

TEST_F(RadioRecoveryTest, ACaptureRunsThroughTheOutageAndTheReopening) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("lumen-recovery-" + std::to_string(getpid()) + ".pcapng")).string();
  StartCapture(path);
  Open(true);
  m_scanner->StartLeScan();
  SeePhoneAgain();
  UnplugAndWaitUntilRemoved();
  m_radio->Faults().Replug();
  ASSERT_TRUE(m_app.WaitUntil([](App& app) { return !app.events.empty() && app.events.back() == "back, reopened"; }));
  SeePhoneAgain();
  StopCapture();

  const sim::Capture capture = sim::ReadCaptureFile(path);
  std::filesystem::remove(path);
  // Opened, lost, opened again; and the radio's traffic after the reopening.
  std::vector<std::pair<uint8_t, uint8_t>> port;  // kind, how
  size_t framesAfterReopening = 0;
  for (const sim::CaptureRecord& record : capture.records) {
    if (record.kind == sim::CaptureRecord::kPortOpened) {
      port.emplace_back(record.kind, 0);
      EXPECT_EQ(record.Text(), m_link);
    } else if (record.kind == sim::CaptureRecord::kPortClosed) {
      port.emplace_back(record.kind, record.body.at(0));
    } else if (record.kind == sim::CaptureRecord::kBgapiFromRadio && port.size() == 3) {
      ++framesAfterReopening;
    }
  }
  EXPECT_EQ(port, (std::vector<std::pair<uint8_t, uint8_t>>{{sim::CaptureRecord::kPortOpened, 0},
                                                            {sim::CaptureRecord::kPortClosed, 1},
                                                            {sim::CaptureRecord::kPortOpened, 0}}));
  EXPECT_GT(framesAfterReopening, 0u);
}

TEST_F(RadioRecoveryTest, WithRecoveryOffTheApplicationHearsWhenThePortIsBackAndMayReopenFromThatCallback) {
  Open(false);
  m_scanner->StartLeScan();
  SeePhoneAgain();
  m_app.onRadioBack = [this](bool reopened) {
    if (!reopened) {
      // What an application that reopens by itself does.
      m_scanner.reset();
      {
        std::lock_guard lock(m_app.mutex);
        m_app.phone.reset();
      }
      UnInitialize();
      m_reopened = Initialize(m_link, 0, BLED112Dongle, false);
    }
  };
  UnplugAndWaitUntilRemoved();
  EXPECT_FALSE(details::IsRadioAway()) << "recovery is off: the radio that went stays in place";
  EXPECT_FALSE(details::GetBluetoothSDK()->IsDeviceOpen());

  m_radio->Faults().Replug();
  ASSERT_TRUE(m_app.WaitUntil([](App& app) { return !app.events.empty() && app.events.back() == "back, port opens"; }));
  EXPECT_TRUE(m_reopened);
  EXPECT_EQ(m_app.Count("back, reopened"), 0u);
  m_scanner = GetScanner();
  m_scanner->SetAdvCallback(&OnAdvert);
  m_scanner->StartLeScan();
  SeePhoneAgain();
  EXPECT_EQ(ReadPhone(), std::vector<uint8_t>{0x01});
}

TEST_F(RadioRecoveryTest, UnInitializeWhileTheRadioIsAwayEndsTheWaitAndNothingComesBackLater) {
  Open(true);
  m_scanner->StartLeScan();
  SeePhoneAgain();
  UnplugAndWaitUntilRemoved();
  ASSERT_TRUE(m_log.WaitForContaining(Logger::WARNING, "is away; lumen reopens it once its port returns"));
  m_scanner.reset();
  {
    std::lock_guard lock(m_app.mutex);
    m_app.phone.reset();
  }
  UnInitialize();
  EXPECT_FALSE(details::IsRadioAway());
  m_radio->Faults().Replug();
  ASSERT_FALSE(m_radio->WaitForGeneration(2, kGuard).empty());
  // Anything the recovery thread still did would have to happen before this
  // returns: UnInitialize waited for it.
  EXPECT_FALSE(details::IsBluetoothSDKInitialized());
  EXPECT_EQ(m_app.Count("removed"), 1u);
  EXPECT_EQ(m_app.Count("back, reopened"), 0u) << "nothing reopened after UnInitialize";
}

TEST_F(RadioRecoveryTest, DongleResetAfterARadioErrorIsReopenedOnceItHasReEnumerated) {
  Open(true);
  std::vector<size_t> backAtGeneration;  // the terminal the radio had when it was back
  m_app.onRadioBack = [&](bool) { backAtGeneration.push_back(m_radio->Generation()); };
  m_scanner->StartLeScan();
  SeePhoneAgain();
  m_radio->Faults().SendRadioError();
  ASSERT_TRUE(m_app.WaitUntil(
      [](App& app) { return std::count(app.events.begin(), app.events.end(), std::string("removed")) != 0; }));
  // The dongle resets once its delay has run out on its own clock, and
  // returns at a new terminal.
  ASSERT_TRUE(m_radio->WaitForCommand("system_delay_reset", kGuard));
  m_radio->Clock().AdvanceMs(3000);
  ASSERT_FALSE(m_radio->WaitForGeneration(2, kGuard).empty());
  ASSERT_TRUE(m_app.WaitUntil([](App& app) { return !app.events.empty() && app.events.back() == "back, reopened"; }));
  {
    std::lock_guard lock(m_app.mutex);
    EXPECT_EQ(backAtGeneration, std::vector<size_t>{2})
        << "not reopened on the old terminal only to be cut off by the reset";
  }
  SeePhoneAgain();
  EXPECT_EQ(ReadPhone(), std::vector<uint8_t>{0x01});
}

TEST_F(RadioRecoveryTest, PortLostAgainWhileTheRadioIsPutBackIsWaitedForAgain) {
  Open(true);
  m_scanner->SetScanParameters(200, 100);
  m_scanner->StartLeScan();
  SeePhoneAgain();
  UnplugAndWaitUntilRemoved();
  ASSERT_TRUE(m_log.WaitForContaining(Logger::WARNING, "is away; lumen reopens it once its port returns"));
  // The terminal hangs up as the scan parameters are put back.
  m_radio->Faults().CloseDuringNextCommand("gap_set_scan_parameters", 0);
  m_radio->Faults().Replug();
  ASSERT_TRUE(m_log.WaitForContaining(Logger::WARNING, "went away again while it was reopened"));
  m_radio->Faults().Replug();
  ASSERT_TRUE(m_app.WaitUntil([](App& app) { return !app.events.empty() && app.events.back() == "back, reopened"; }));
  EXPECT_EQ(m_app.Count("back, reopened"), 1u) << "not reported back while it was gone again";
  EXPECT_TRUE(details::GetBluetoothSDK()->IsDeviceOpen());
  SeePhoneAgain();
  EXPECT_EQ(ReadPhone(), std::vector<uint8_t>{0x01});
}

}  // namespace
}  // namespace lumen
