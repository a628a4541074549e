// The health snapshot against the virtual BLED112/BLE113: each fault the
// radio or its line can show moves the figures that name it, and no other
// fault figure.
#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bluegiga/BGCalls.h"
#include "core/ConnectionTable.h"
#include "lumen/BluegigaCommands.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Lumen.h"
#include "lumen/RadioHealth.h"
#include "lumen/Scanner.h"
#include "scan/ScannerImpl.h"
#include "sim/VirtualBled112.h"
#include "support/Guard.h"
#include "support/HealthFigures.h"
#include "support/LibraryTimeouts.h"
#include "support/LogCapture.h"
#include "support/ManualClocks.h"
#include "support/PhoneScenario.h"
#include "support/Watched.h"

namespace lumen {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using testing::Figures;
using testing::LogCapture;

using testing::kGuard;
using testing::kPatientMs;
using testing::kShortMs;
constexpr std::chrono::milliseconds kNoRealTicks = std::chrono::hours(24);
using testing::kNotifying;
using testing::kPhoneAddress;
using testing::kPhoneService;
using testing::kWritable;

std::string Scenario(const std::string& variant, int minor = 8) {
  return testing::Bled112Scenario(
      testing::PhonePeripheral({.shortValue = "", .longValue = false}), variant,
      R"({"major": 1, "minor": )" + std::to_string(minor) + R"(, "patch": 0, "build": 149})");
}

using testing::FaultFigures;
using testing::MovedSince;

// What the application's callbacks saw; plain function pointers, so global.
struct App : testing::Watched<App> {
  std::shared_ptr<BluetoothDevice> phone;
  int adverts = 0;
  int softResets = 0;
  int notifications = 0;
  uint64_t awayMs = 0;
  bool back = false;
};
App* g_app = nullptr;

bool OnAdvert(std::shared_ptr<BluetoothDevice>& device) {
  if (device->address().ToString() == kPhoneAddress) {
    g_app->Note([&](App& app) {
      if (!app.phone) {
        app.phone = device;
      }
      ++app.adverts;
    });
  }
  return true;
}

void OnSoftReset(bool /*removesDevice*/) {
  g_app->Note([](App& app) { ++app.softResets; });
}

void OnRadioBack(bool /*reopened*/, uint64_t awayMs) {
  g_app->Note([awayMs](App& app) {
    app.awayMs = awayMs;
    app.back = true;
  });
}

// A link that names the radio's terminal and goes with it when it is
// unplugged: the terminal's own path could be handed to another terminal
// meanwhile (pseudo-terminal numbers are reused), which would read as the
// radio coming back.
sim::VirtualBled112Options StableLink() {
  sim::VirtualBled112Options options;
  options.linkPath = (std::filesystem::temp_directory_path() / ("lumen-health-" + std::to_string(::getpid()))).string();
  return options;
}

class RadioHealthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_app = &m_app;
    details::ClearAllConnections();
    Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
    Set_RadioBackCallback(&OnRadioBack);
  }

  void TearDown() override {
    m_notifying.reset();
    m_writable.reset();
    {
      std::lock_guard lock(m_app.mutex);
      m_app.phone.reset();
    }
    m_scanner.reset();
    UnInitialize();
    SetRadioRecovery(false);
    details::BGCalls::SetTimeouts(3000, 3000);
    m_radio.reset();
    Set_HardwareSoftResetInitiatedCallback(nullptr);
    Set_RadioBackCallback(nullptr);
    details::ClearAllConnections();
    g_app = nullptr;
  }

  void Open(const std::string& variant = "dongle", sim::VirtualBled112Options options = {}, int minor = 8) {
    m_radio = std::make_unique<sim::VirtualBled112>(sim::Scenario::FromJson(Scenario(variant, minor)), options);
    const std::string path = options.linkPath.empty() ? m_radio->Path() : options.linkPath;
    ASSERT_TRUE(Initialize(path, 0, variant == "dongle" ? BLED112Dongle : BLE113, false));
    BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
    m_scanner = GetScanner();
    details::ScannerAccess::ImplOf(*m_scanner).SetTickIntervalForTesting(kNoRealTicks);
    m_scanner->SetAdvCallback(&OnAdvert);
  }

  // Scans until one more of the phone's advertisements reached the application.
  void SeePhone() {
    int before = 0;
    {
      std::lock_guard lock(m_app.mutex);
      before = m_app.adverts;
    }
    m_scanner->StartLeScan();
    m_radio->Clock().AdvanceMs(100);
    ASSERT_TRUE(m_app.WaitUntil([&](App& app) { return app.adverts > before; }));
  }

  std::shared_ptr<BluetoothDevice> Phone() {
    std::lock_guard lock(m_app.mutex);
    return m_app.phone;
  }

  void ConnectPhone() {
    SeePhone();
    m_scanner->StopLeScan();
    Phone()->Connect();
    ASSERT_TRUE(Phone()->IsConnected());
    auto service = Phone()->GetService(kPhoneService);
    m_writable = service->GetCharacteristic(kWritable);
    m_notifying = service->GetCharacteristic(kNotifying);
    m_notifying->SetCharacteristicChangedCallback(
        [](const std::vector<uint8_t>& /*value*/) { g_app->Note([](App& app) { ++app.notifications; }); });
  }

  // Every frame the radio sent before the answer to this has been handled.
  void Barrier() { ASSERT_TRUE(details::BGCalls::Hello()); }

  App m_app;
  LogCapture m_log;
  std::unique_ptr<sim::VirtualBled112> m_radio;
  std::unique_ptr<Scanner> m_scanner;
  std::unique_ptr<GattCharacteristic> m_writable;
  std::unique_ptr<GattCharacteristic> m_notifying;
};

// ---------------------------------------------------------------------------
// Figures of a working radio

TEST_F(RadioHealthTest, FiguresStartAfreshAtEveryInitialize) {
  Open();
  RadioHealth health = GetRadioHealth();
  EXPECT_EQ(FaultFigures(health), FaultFigures(RadioHealth{}));
  EXPECT_EQ(health.secondsSinceLastAdvert, UINT64_MAX) << "no advertisement yet";
  EXPECT_GT(health.commandsSent, 0u) << "opening the radio asks it for its firmware";
  EXPECT_EQ(health.commandsAnswered, health.commandsSent);

  SeePhone();
  m_radio->Faults().SendGarbage(Bytes{0xfe, 0xed, 0xfa, 0xce});
  Barrier();
  health = GetRadioHealth();
  EXPECT_GT(health.advertsReceived, 0u);
  EXPECT_EQ(health.garbageBytes, 4u);

  m_scanner.reset();
  {
    std::lock_guard lock(m_app.mutex);
    m_app.phone.reset();
  }
  UnInitialize();
  ASSERT_TRUE(Initialize(m_radio->Path(), 0, BLED112Dongle, false));
  health = GetRadioHealth();
  EXPECT_EQ(FaultFigures(health), FaultFigures(RadioHealth{}));
  EXPECT_EQ(health.advertsReceived, 0u);
  EXPECT_EQ(health.secondsSinceLastAdvert, UINT64_MAX);
}

TEST_F(RadioHealthTest, AdvertisementsAreCountedAndDatedAndNothingElseMoves) {
  Open();
  const RadioHealth before = GetRadioHealth();
  SeePhone();
  m_radio->Clock().AdvanceMs(300);
  ASSERT_TRUE(m_app.WaitUntil([](App& app) { return app.adverts >= 3; }));
  const RadioHealth after = GetRadioHealth();
  EXPECT_GE(after.advertsReceived, 3u);
  EXPECT_LE(after.secondsSinceLastAdvert, 1u);
  EXPECT_GT(after.commandsSent, before.commandsSent) << "the scan was started";
  EXPECT_EQ(after.commandsAnswered, after.commandsSent);
  EXPECT_EQ(MovedSince(before), Figures{});
}

TEST_F(RadioHealthTest, AdvertisementsTheScannerHasNoReasonToScanForAreDropped) {
  const testing::ManualClocks clocks;
  Open("dongle", {}, 7);  // firmware 1.7 does not scan all the time
  m_scanner->AddScanJob(L"phone", {kPhoneService});
  ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));
  m_scanner->CancelScanJob(L"phone");
  details::ScannerAccess::ImplOf(*m_scanner).RunOnWorkerForTesting([] {});
  testing::ManualClocks::AdvanceMs(200'000);  // the cancellation is no longer recent
  const RadioHealth before = GetRadioHealth();

  m_radio->Clock().AdvanceMs(300);
  Barrier();
  details::ScannerAccess::ImplOf(*m_scanner).RunOnWorkerForTesting([] {});
  const uint64_t received = GetRadioHealth().advertsReceived - before.advertsReceived;
  ASSERT_GT(received, 0u) << "the radio still scans until the scanner's next tick";
  EXPECT_EQ(MovedSince(before), (Figures{{"advertsDropped", received}}));
}

TEST_F(RadioHealthTest, ConnectionGattAndNotificationsCountAsOk) {
  Open();
  RadioHealth before = GetRadioHealth();
  ConnectPhone();
  EXPECT_EQ(MovedSince(before), (Figures{{"connectionsMade", 1}, {"gattOk", 2}})) << "services, then characteristics";

  before = GetRadioHealth();
  m_notifying->EnableCharacteristicNotification(true);
  m_writable->WriteValue({0x01}, true, false);
  ASSERT_TRUE(m_app.WaitUntil([](App& app) { return app.notifications == 3; }));
  EXPECT_EQ(MovedSince(before), (Figures{{"gattOk", 2}, {"notificationsDelivered", 3}}));
  EXPECT_GE(GetRadioHealth().messageQueueHighWater, 1u);
}

// ---------------------------------------------------------------------------
// The line

TEST_F(RadioHealthTest, GarbageMovesGarbageBytesOnly) {
  Open();
  const RadioHealth before = GetRadioHealth();
  m_radio->Faults().SendGarbage(Bytes{0xde, 0xad, 0xbe, 0xef, 0x7e, 0x55, 0xff});
  Barrier();
  EXPECT_EQ(MovedSince(before), (Figures{{"garbageBytes", 7}}));
}

TEST_F(RadioHealthTest, FrameWhosePayloadBreaksItsLayoutMovesFramesMalformedOnly) {
  Open();
  const RadioHealth before = GetRadioHealth();
  // A scan response whose data array claims 5 bytes that are not there.
  Bytes frame{0x80, 11, 0x06, 0x00, 0xc9, 0x00, 1, 2, 3, 4, 5, 6, 1, 0xff, 5};
  m_radio->Faults().SendGarbage(frame);
  Barrier();
  EXPECT_EQ(MovedSince(before), (Figures{{"framesMalformed", 1}}));
  EXPECT_EQ(GetRadioHealth().advertsReceived, before.advertsReceived);
}

TEST_F(RadioHealthTest, UnpluggedDongleMovesPortLossesAndTheHardwareFailureItRaises) {
  Open("dongle", StableLink());
  const RadioHealth before = GetRadioHealth();
  m_radio->Faults().Unplug();
  ASSERT_TRUE(m_app.WaitUntil([](App& app) { return app.softResets == 1; }));
  EXPECT_EQ(MovedSince(before), (Figures{{"portLosses", 1}, {"hardwareFailures", 1}}));
}

TEST_F(RadioHealthTest, CommandCutShortByTheUnplugIsNoSilenceOfTheRadio) {
  Open("dongle", StableLink());
  ConnectPhone();
  const RadioHealth before = GetRadioHealth();
  m_radio->Faults().IgnoreNextCommand("attclient_attribute_write");
  BluegigaCommands::SetBGTimeouts(60000, 60000);
  auto write = std::async(std::launch::async, [this] { m_notifying->EnableCharacteristicNotification(true); });
  ASSERT_TRUE(m_radio->WaitForCommand("attclient_attribute_write", kGuard));
  m_radio->Faults().Unplug();
  ASSERT_EQ(write.wait_for(kGuard), std::future_status::ready);
  EXPECT_THROW(write.get(), std::exception);
  ASSERT_TRUE(m_app.WaitUntil([](App& app) { return app.softResets == 1; }));
  EXPECT_EQ(MovedSince(before), (Figures{{"portLosses", 1}, {"hardwareFailures", 1}, {"gattFailed", 1}}));
}

TEST_F(RadioHealthTest, TimeAwayIsWhatRecoveryReportedWhenTheRadioCameBack) {
  SetRadioRecovery(true);
  Open("dongle", StableLink());
  const RadioHealth before = GetRadioHealth();
  m_radio->Faults().Unplug();
  ASSERT_TRUE(m_log.WaitForContaining(Logger::WARNING, "is away; lumen reopens it once its port returns"));
  m_radio->Faults().Replug();
  ASSERT_TRUE(m_app.WaitUntil([](App& app) { return app.back; }));
  uint64_t awayMs = 0;
  {
    std::lock_guard lock(m_app.mutex);
    awayMs = m_app.awayMs;
  }
  ASSERT_GT(awayMs, 0u);
  EXPECT_EQ(MovedSince(before), (Figures{{"portLosses", 1}, {"hardwareFailures", 1}, {"timeAwayMs", awayMs}}));
}

// ---------------------------------------------------------------------------
// Commands

TEST_F(RadioHealthTest, UnansweredCommandMovesNoResponseAndTheHardwareFailureItRaises) {
  Open();
  const RadioHealth before = GetRadioHealth();
  m_radio->Faults().IgnoreNextCommand("hardware_set_txpower");
  BluegigaCommands::SetBGTimeouts(kShortMs, kPatientMs);
  EXPECT_THROW(BluegigaCommands::SetTXPower(10), std::exception);
  EXPECT_EQ(MovedSince(before), (Figures{{"commandsTimedOut", 1}, {"commandsNoResponse", 1}, {"hardwareFailures", 1}}));
}

TEST_F(RadioHealthTest, LostCompletingEventMovesNoCompletingEventAndTheFailedGattOperation) {
  Open();
  ConnectPhone();
  const RadioHealth before = GetRadioHealth();
  m_radio->Faults().LoseNextFrame("attclient_procedure_completed");
  BluegigaCommands::SetBGTimeouts(kPatientMs, kShortMs);
  EXPECT_THROW(m_notifying->EnableCharacteristicNotification(true), std::exception);
  EXPECT_EQ(MovedSince(before),
            (Figures{{"commandsTimedOut", 1}, {"commandsNoCompletingEvent", 1}, {"gattFailed", 1}}));
}

// ---------------------------------------------------------------------------
// Links

TEST_F(RadioHealthTest, ConnectionThatNeverCompletesMovesConnectionsFailed) {
  Open();
  SeePhone();
  m_scanner->StopLeScan();
  m_radio->Faults().GoSilent();
  const RadioHealth before = GetRadioHealth();
  BluegigaCommands::SetBGTimeouts(kPatientMs, kShortMs);
  EXPECT_THROW(Phone()->Connect(), std::exception);
  EXPECT_EQ(MovedSince(before),
            (Figures{{"connectionsFailed", 1}, {"commandsTimedOut", 1}, {"commandsNoCompletingEvent", 1}}));
}

TEST_F(RadioHealthTest, LinkThePeerDropsMovesDroppedByPeerAndTheLibrarysOwnDisconnectDoesNot) {
  Open();
  ConnectPhone();
  RadioHealth before = GetRadioHealth();
  const auto connections = m_radio->State().connections;
  ASSERT_EQ(connections.size(), 1u);
  ASSERT_TRUE(m_radio->Faults().DropConnection(connections.front().handle));
  Barrier();
  EXPECT_FALSE(Phone()->IsConnected());
  EXPECT_EQ(MovedSince(before), (Figures{{"connectionsDroppedByPeer", 1}}));

  Phone()->Connect();
  before = GetRadioHealth();
  Phone()->Disconnect();
  Barrier();
  EXPECT_EQ(MovedSince(before), Figures{});
}

// ---------------------------------------------------------------------------
// Resets

TEST_F(RadioHealthTest, RadioErrorMovesResetsRadioErrorAndTheHardwareFailureItRaises) {
  Open("module");
  const RadioHealth before = GetRadioHealth();
  m_radio->Faults().SendRadioError();
  ASSERT_TRUE(
      m_log.WaitFor(Logger::INFO, "ForceResetAfterHardwareRadioError: after hardware_radio_error, done handling"));
  EXPECT_EQ(MovedSince(before), (Figures{{"resetsRadioError", 1}, {"hardwareFailures", 1}}));
}

TEST_F(RadioHealthTest, SilentRadioMovesResetsWatchdogAndTheHardwareFailureItRaises) {
  Open("module");
  m_scanner->StartLeScan();
  ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));
  m_radio->Faults().GoSilent();
  const RadioHealth before = GetRadioHealth();
  for (int tick = 0; tick < 300; ++tick) {
    details::ScannerAccess::ImplOf(*m_scanner).TickNowForTesting();
  }
  ASSERT_TRUE(
      m_log.WaitFor(Logger::INFO, "ForceResetAfterHardwareRadioError: after hardware_radio_error, done handling"));
  EXPECT_EQ(MovedSince(before), (Figures{{"resetsWatchdog", 1}, {"hardwareFailures", 1}}));
}

TEST_F(RadioHealthTest, ApplicationResetMovesResetsApplicationOnly) {
  Open("module");
  const RadioHealth before = GetRadioHealth();
  BluegigaCommands::Reset(0, true);
  EXPECT_EQ(MovedSince(before), (Figures{{"resetsApplication", 1}}));
}

}  // namespace
}  // namespace lumen
