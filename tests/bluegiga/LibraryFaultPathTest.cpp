// Faults of a BLED112 and its serial line, driven against the library through
// the calls an application makes: what the application sees (error, callback,
// no hang) and that the library goes on working afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bluegiga/BGCalls.h"
#include "core/BluetoothSDK.h"
#include "core/CallbacksManager.h"
#include "lumen/BGLibError.h"
#include "lumen/BluegigaCommands.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Errors.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Logger.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "sim/VirtualBled112.h"
#include "support/CallOutcome.h"
#include "support/Guard.h"
#include "support/LibraryTimeouts.h"
#include "support/LogCapture.h"
#include "support/PhoneCharacteristics.h"
#include "support/PhoneScenario.h"
#include "support/Watched.h"

namespace lumen {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using testing::Counting;
using testing::LogCapture;

using testing::kGuard;
using testing::kPatientMs;
using testing::kShortMs;
constexpr int kAdvertIntervalMs = 100;
constexpr int kNoResponseCode = 0x9001;
constexpr int kDisconnectedCode = 0x9000;
constexpr int kTimeoutCode = 0x0185;

using testing::kGapService;
using testing::kPhoneAddress;
using testing::kPhoneService;

// One phone; writing does not make it notify.
const std::string kScenario =
    testing::Bled112Scenario(testing::PhonePeripheral({.deviceName = "Phone", .notifyValues = {}}));

// What the application's callbacks saw. They are plain function pointers, so
// the state is global.
struct App : testing::Watched<App> {
  std::shared_ptr<BluetoothDevice> phone;
  int phoneAdverts = 0;
  int hardwareFailures = 0;
  std::vector<std::string> callbacks;       // both failure callbacks, in the order they ran
  std::function<void()> onHardwareFailure;  // runs inside the callback

  void Reset() {
    std::lock_guard lock(mutex);
    phone.reset();
    phoneAdverts = 0;
    hardwareFailures = 0;
    callbacks.clear();
    onHardwareFailure = nullptr;
  }
};
App g_app;

bool OnAdvert(std::shared_ptr<BluetoothDevice>& device) {
  if (device->address().ToString() != kPhoneAddress) {
    return true;
  }
  g_app.Note([&](App& app) {
    if (!app.phone) {
      app.phone = device;
    }
    ++app.phoneAdverts;
  });
  return true;
}

void OnHardwareFailure() {
  std::function<void()> extra;
  g_app.Note([&](App& app) {
    ++app.hardwareFailures;
    app.callbacks.push_back("hardware failure");
    extra = app.onHardwareFailure;
  });
  if (extra) {
    extra();
  }
}

void OnSoftReset(bool removesDevice) {
  g_app.Note([&](App& app) { app.callbacks.push_back(removesDevice ? "soft reset, device removed" : "soft reset"); });
}

int HardwareFailures() {
  std::lock_guard lock(g_app.mutex);
  return g_app.hardwareFailures;
}

using testing::ExpectRadioError;
using testing::Outcome;
using testing::OutcomeOf;

// Runs call on a thread of its own. A call still running after the guard is
// a hang nothing later could recover from, so the program stops there.
template <class Call>
void WithinGuard(const char* what, Call&& call) {
  std::packaged_task<void()> task(std::forward<Call>(call));
  std::future<void> done = task.get_future();
  std::thread worker(std::move(task));
  if (done.wait_for(kGuard) != std::future_status::ready) {
    std::fprintf(stderr, "HANG: %s did not return\n", what);
    std::fflush(stderr);
    std::abort();
  }
  worker.join();
  done.get();
}

class LibraryFaultPathTest : public ::testing::Test, protected testing::PhoneCharacteristics {
 protected:
  void SetUp() override {
    g_app.Reset();
    Set_HardwareFailureCallback(&OnHardwareFailure);
    Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
    m_radio = std::make_unique<sim::VirtualBled112>(sim::Scenario::FromJson(kScenario));
    ASSERT_TRUE(Initialize(m_radio->Path(), 0, BLED112Dongle, false));
    BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
  }

  void TearDown() override {
    ReleaseApplicationObjects();
    details::BGCalls::SetTimeouts(3000, 3000);
    UnInitialize();
    m_radio.reset();
    Set_HardwareFailureCallback(nullptr);
    Set_HardwareSoftResetInitiatedCallback(nullptr);
    g_app.Reset();
  }

  std::shared_ptr<BluetoothDevice> Phone() {
    std::lock_guard lock(g_app.mutex);
    return g_app.phone;
  }

  int PhoneAdverts() {
    std::lock_guard lock(g_app.mutex);
    return g_app.phoneAdverts;
  }

  // Scans until the phone's next advertisement has reached the application.
  void FindPhone(bool keepScanning = false) {
    if (!m_scanner) {
      m_scanner = GetScanner();
      m_scanner->SetAdvCallback(&OnAdvert);
    }
    m_scanner->StartLeScan();
    const int before = PhoneAdverts();
    m_radio->Clock().AdvanceMs(kAdvertIntervalMs);
    ASSERT_TRUE(g_app.WaitUntil([&](const App& app) { return app.phoneAdverts > before; }))
        << "the phone's advertisement never reached the application";
    if (!keepScanning) {
      m_scanner->StopLeScan();
    }
  }

  // Connects and makes the characteristics an application works with.
  void ConnectPhone() {
    ASSERT_TRUE(Phone());
    Phone()->Connect();
    ASSERT_TRUE(Phone()->IsConnected());
    MakeCharacteristics();
  }

  void MakeCharacteristics() {
    auto service = Phone()->GetService(kPhoneService);
    TakeCharacteristics(*service);
    m_notifying->SetCharacteristicChangedCallback([](const std::vector<uint8_t>& /*value*/) {});
  }

  // The radio's connection number of the phone.
  uint8_t PhoneConnection() {
    const auto connections = m_radio->State().connections;
    EXPECT_EQ(connections.size(), 1u);
    return connections.empty() ? 0 : connections.front().handle;
  }

  // A command round trip: every frame the radio sent before its answer has
  // been handled by the library when this returns.
  void Barrier() { m_scanner->SetScanParameters(200, 100); }

  void ExpectReadsWork() {
    EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a});
    EXPECT_EQ(m_long->ReadValue(false), Counting(40));
  }

  // Once the fault is over: with time-outs that do not run out, the phone
  // connects again and reads work.
  void ExpectPhoneWorksWithPatientTimeouts() {
    BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
    ConnectPhone();
    ExpectReadsWork();
  }

  // What an application drops before it closes the library: the device's
  // destructor disconnects a connected device.
  void ReleaseApplicationObjects() {
    ReleaseCharacteristics();
    std::shared_ptr<BluetoothDevice> phone;
    {
      std::lock_guard lock(g_app.mutex);
      phone = std::move(g_app.phone);
    }
    phone.reset();
    m_scanner.reset();
  }

  // The application's answer to a radio that came back at a new path.
  void ReopenOnNewTerminal(const std::string& oldPath) {
    const std::string path = m_radio->WaitForGeneration(2, kGuard);
    ASSERT_FALSE(path.empty()) << "the dongle never came back";
    EXPECT_NE(path, oldPath);
    ReleaseApplicationObjects();
    UnInitialize();
    ASSERT_TRUE(Initialize(path, 0, BLED112Dongle, false));
    BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
  }

  LogCapture m_log;
  std::unique_ptr<sim::VirtualBled112> m_radio;
  std::unique_ptr<Scanner> m_scanner;
};

// One application call and the BGAPI command it sends.
struct Operation {
  const char* command;
  std::string failure;  // what the application is told when the fault hits it
  std::function<void()> run;
};

// ---------------------------------------------------------------------------
// Garbage on the line

TEST_F(LibraryFaultPathTest, GarbageRightBeforeAnAnswerLosesNothing) {
  FindPhone();
  ConnectPhone();
  const Bytes firstPart = Counting(22);
  // No run of these bytes, alone or with the start of the frame behind them,
  // reads as a header the library could take.
  const Bytes kStray = {0xde, 0xad, 0xbe, 0xef, 0x7e, 0x55, 0xff};
  for (int i = 0; i < 50; ++i) {
    // One stray byte glued to a response: only a byte-wise search finds the
    // header behind it.
    m_radio->Faults().GarbageBeforeNextFrame("gap_set_scan_parameters", {static_cast<uint8_t>(0x11 * i + 0x0b)});
    ASSERT_EQ(OutcomeOf([&] { m_scanner->SetScanParameters(200, 100); }).what, "") << "iteration " << i;
    // Several glued to the completing event.
    m_radio->Faults().GarbageBeforeNextFrame("attclient_attribute_value",
                                             Bytes(kStray.begin(), kStray.begin() + 1 + i % kStray.size()));
    ASSERT_EQ(m_short->ReadValue(true), Bytes{0x2a}) << "iteration " << i;
    // Alone on the line, just before a command's answer.
    m_radio->Faults().SendGarbage(Bytes{0xfe, 0xed, 0xfa, 0xce, 0x42});
    ASSERT_EQ(m_long->ReadValue(false), Counting(40)) << "iteration " << i;
    ASSERT_EQ(m_long->ReadValue(true), firstPart) << "iteration " << i;
  }
  EXPECT_EQ(HardwareFailures(), 0);
  EXPECT_TRUE(Phone()->IsConnected());
}

TEST_F(LibraryFaultPathTest, GarbageRightBeforeAnAdvertisementDoesNotHideThePhone) {
  m_radio->Faults().GarbageBeforeNextFrame("gap_scan_response", Bytes{0xde, 0xad, 0xbe, 0xef, 0x42});
  FindPhone();  // one advertisement only: the one behind the garbage
  ASSERT_TRUE(Phone());
  EXPECT_EQ(HardwareFailures(), 0);
}

// ---------------------------------------------------------------------------
// Commands the radio never answers

TEST_F(LibraryFaultPathTest, UnansweredCommandFailsWithNoResponseAndTheNextOneWorks) {
  FindPhone();
  ConnectPhone();
  std::vector<TimestampedRSSI> rssi;
  std::vector<Uuid> uuids;
  const std::vector<Operation> operations = {
      {"attclient_read_by_handle", "ble_cmd_attclient_read_by_handle - no response",
       [&] { EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a}); }},
      {"attclient_read_long", "ble_cmd_attclient_read_long - no response",
       [&] { EXPECT_EQ(m_long->ReadValue(false), Counting(40)); }},
      {"attclient_write_command", "ble_cmd_attclient_write_command - no response",
       [&] { m_writable->WriteValue({0x01}, true, false); }},
      {"attclient_attribute_write", "ble_cmd_attclient_attribute_write - no response",
       [&] { m_notifying->EnableCharacteristicNotification(true); }},
      {"attclient_read_by_group_type", "ble_cmd_attclient_read_by_group_type - no response",
       [&] {
         Phone()->GetServices();
         EXPECT_TRUE(Phone()->ServicesContainUUID(kPhoneService));
       }},
      {"attclient_find_information", "ble_cmd_attclient_find_information - no response",
       [&] {
         uuids.clear();
         Phone()->GetCharacteristicUUIDs(kGapService, uuids);
         EXPECT_EQ(uuids.size(), 1u);
       }},
      {"connection_get_rssi", "ble_cmd_connection_get_rssi - no response",
       [&] { EXPECT_TRUE(Phone()->GetRSSIFromConnection(rssi)); }},
      {"gap_set_scan_parameters", "ble_cmd_gap_set_scan_parameters - no response",
       [&] { m_scanner->SetScanParameters(200, 100); }},
      {"hardware_set_txpower", "ble_cmd_hardware_set_txpower - no response", [&] { BluegigaCommands::SetTXPower(10); }},
  };
  for (const Operation& operation : operations) {
    SCOPED_TRACE(operation.command);
    const int failuresBefore = HardwareFailures();
    m_radio->Faults().IgnoreNextCommand(operation.command);
    BluegigaCommands::SetBGTimeouts(kShortMs, kPatientMs);
    ExpectRadioError(OutcomeOf(operation.run), operation.failure, kNoResponseCode);
    EXPECT_EQ(HardwareFailures(), failuresBefore + 1) << "the application is told once";

    BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
    EXPECT_EQ(OutcomeOf(operation.run).what, "") << "the next call works";
    EXPECT_EQ(HardwareFailures(), failuresBefore + 1);
  }
  EXPECT_TRUE(Phone()->IsConnected());
}

TEST_F(LibraryFaultPathTest, UnansweredConnectLeavesTheDeviceUnconnectedUntilTheNextAttempt) {
  FindPhone();
  m_radio->Faults().IgnoreNextCommand("gap_connect_direct");
  BluegigaCommands::SetBGTimeouts(kShortMs, kPatientMs);
  ExpectRadioError(OutcomeOf([&] { Phone()->Connect(); }), "ble_cmd_gap_connect_direct - no response", kNoResponseCode);
  EXPECT_FALSE(Phone()->IsConnected());
  EXPECT_EQ(HardwareFailures(), 1);

  ExpectPhoneWorksWithPatientTimeouts();
  EXPECT_EQ(HardwareFailures(), 1);
}

TEST_F(LibraryFaultPathTest, UnansweredProbeFailsInitializeAndTheNextInitializeWorks) {
  const std::string path = m_radio->Path();
  BluegigaCommands::SetBGTimeouts(1000, kPatientMs);  // kept while uninitialised
  UnInitialize();
  m_radio->Faults().IgnoreNextCommand("system_get_info");
  EXPECT_FALSE(Initialize(path, 0, BLED112Dongle, false));
  EXPECT_TRUE(
      m_log.HasContaining(Logger::WARNING, "Bluegiga initialization failed: ble_cmd_system_get_info - no response"));
  EXPECT_EQ(HardwareFailures(), 1);

  ASSERT_TRUE(Initialize(path, 0, BLED112Dongle, false));
  BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
  FindPhone();
  ConnectPhone();
  ExpectReadsWork();
  EXPECT_EQ(HardwareFailures(), 1);
}

TEST_F(LibraryFaultPathTest, HardwareFailureCallbackMayUseTheRadio) {
  FindPhone();
  ConnectPhone();
  std::string inCallback = "not called";
  {
    std::lock_guard lock(g_app.mutex);
    g_app.onHardwareFailure = [&] {
      inCallback = OutcomeOf([&] {
                     BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
                     Phone()->GetServices();
                   }).what;
    };
  }
  m_radio->Faults().IgnoreNextCommand("attclient_read_by_handle");
  BluegigaCommands::SetBGTimeouts(kShortMs, kPatientMs);
  Outcome outcome;
  WithinGuard("a read whose failure callback discovers services",
              [&] { outcome = OutcomeOf([&] { m_short->ReadValue(true); }); });
  {
    std::lock_guard lock(g_app.mutex);
    g_app.onHardwareFailure = nullptr;
  }
  ExpectRadioError(outcome, "ble_cmd_attclient_read_by_handle - no response", kNoResponseCode);
  EXPECT_EQ(inCallback, "") << "the service discovery inside the callback failed";
  EXPECT_EQ(HardwareFailures(), 1);
  ExpectReadsWork();
}

// ---------------------------------------------------------------------------
// Completing events that never come

TEST_F(LibraryFaultPathTest, LostCompletingEventEndsInItsTimeOutAndTheNextCallWorks) {
  FindPhone();
  ConnectPhone();
  std::vector<Uuid> uuids;
  struct Case {
    const char* lostEvent;
    Operation operation;
    int code;
  };
  const std::vector<Case> cases = {
      {"attclient_attribute_value",
       {"attclient_read_by_handle", "ble_cmd_attclient_read_by_handle - no completed event",
        [&] { EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a}); }},
       kTimeoutCode},
      {"attclient_procedure_completed",
       {"attclient_read_long", "ble_cmd_attclient_read_long - no completed event",
        [&] { EXPECT_EQ(m_long->ReadValue(false), Counting(40)); }},
       kNoResponseCode},
      {"attclient_procedure_completed",
       {"attclient_attribute_write", "ble_cmd_attclient_attribute_write - no completed event",
        [&] { m_notifying->EnableCharacteristicNotification(true); }},
       kNoResponseCode},
      {"attclient_procedure_completed",
       {"attclient_read_by_group_type", "ble_cmd_attclient_read_by_group_type - no completed event",
        [&] {
          Phone()->GetServices();
          EXPECT_TRUE(Phone()->ServicesContainUUID(kPhoneService));
        }},
       kNoResponseCode},
      {"attclient_procedure_completed",
       {"attclient_find_information", "ble_cmd_attclient_find_information - no completed event",
        [&] {
          uuids.clear();
          Phone()->GetCharacteristicUUIDs(kGapService, uuids);
          EXPECT_EQ(uuids.size(), 1u);
        }},
       kNoResponseCode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.operation.command);
    m_radio->Faults().LoseNextFrame(c.lostEvent);
    BluegigaCommands::SetBGTimeouts(kPatientMs, kShortMs);
    ExpectRadioError(OutcomeOf(c.operation.run), c.operation.failure, c.code);

    BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
    EXPECT_EQ(OutcomeOf(c.operation.run).what, "") << "the next call works";
  }
  EXPECT_EQ(HardwareFailures(), 0) << "the radio answered every command";
  EXPECT_TRUE(Phone()->IsConnected());
}

TEST_F(LibraryFaultPathTest, ConnectionThatNeverCompletesIsAbandonedAndTheNextAttemptWorks) {
  FindPhone();
  m_radio->Faults().GoSilent();  // the phone is out of reach
  BluegigaCommands::SetBGTimeouts(kPatientMs, kShortMs);
  ExpectRadioError(OutcomeOf([&] { Phone()->Connect(); }), "ble_rsp_gap_connect_direct - no connected event",
                   kNoResponseCode);
  EXPECT_FALSE(Phone()->IsConnected());
  const auto commands = m_radio->ReceivedCommands();
  const auto connect = std::find_if(commands.rbegin(), commands.rend(),
                                    [](const sim::Frame& frame) { return frame.Matches("gap_connect_direct"); });
  ASSERT_NE(connect, commands.rend());
  ASSERT_NE(connect, commands.rbegin()) << "nothing was sent after the attempt";
  EXPECT_EQ(std::prev(connect)->name, "ble_cmd_gap_end_procedure") << "the attempt is called off";
  EXPECT_TRUE(m_radio->State().connections.empty()) << "the attempt is not left pending on the radio";

  m_radio->Faults().GoSilent(false);
  ExpectPhoneWorksWithPatientTimeouts();
  EXPECT_EQ(HardwareFailures(), 0);
}

TEST_F(LibraryFaultPathTest, DisconnectWhoseEventIsLostStillLeavesTheDeviceFreeToReconnect) {
  FindPhone();
  ConnectPhone();
  m_radio->Faults().LoseNextFrame("connection_disconnected");
  BluegigaCommands::SetBGTimeouts(kPatientMs, kShortMs);
  ExpectRadioError(OutcomeOf([&] { Phone()->Disconnect(); }), "ble_cmd_connection_disconnect - no disconnect event",
                   kNoResponseCode);
  EXPECT_FALSE(Phone()->IsConnected());

  ExpectPhoneWorksWithPatientTimeouts();
  EXPECT_EQ(HardwareFailures(), 0);
}

// ---------------------------------------------------------------------------
// Links the peer drops

TEST_F(LibraryFaultPathTest, DroppedLinkShowsAsDisconnectedAndTheDeviceReconnects) {
  FindPhone();
  ConnectPhone();
  ASSERT_TRUE(m_radio->Faults().DropConnection(PhoneConnection(), 0x0208));
  Barrier();
  EXPECT_FALSE(Phone()->IsConnected());
  const Outcome stale = OutcomeOf([&] { m_short->ReadValue(true); });
  EXPECT_EQ(stale.type, "KesBluetoothSDKLibError");
  EXPECT_THAT(stale.what, ::testing::EndsWith(" not connected"));
  EXPECT_EQ(m_radio->CommandCount("attclient_read_by_handle"), 0u) << "nothing is sent for a closed link";

  ConnectPhone();
  ExpectReadsWork();
  EXPECT_EQ(HardwareFailures(), 0);
}

TEST_F(LibraryFaultPathTest, LinkDroppedDuringAProcedureFailsItAsDisconnected) {
  FindPhone();
  ConnectPhone();
  const std::vector<Operation> operations = {
      {"attclient_read_by_handle", "wait for ble_cmd_attclient_read_by_handle failed",
       [&] { m_short->ReadValue(true); }},
      {"attclient_read_long", "ble_cmd_attclient_read_long failed", [&] { m_long->ReadValue(false); }},
      {"attclient_attribute_write", "ble_cmd_attclient_attribute_write failed",
       [&] { m_notifying->EnableCharacteristicNotification(true); }},
      {"attclient_read_by_group_type", "ble_cmd_attclient_read_by_group_type failed", [&] { Phone()->GetServices(); }},
  };
  for (const Operation& operation : operations) {
    SCOPED_TRACE(operation.command);
    ASSERT_TRUE(m_radio->Faults().DisconnectDuringNextGattProcedure(PhoneConnection()));
    ExpectRadioError(OutcomeOf(operation.run), operation.failure, kDisconnectedCode);
    Barrier();
    EXPECT_FALSE(Phone()->IsConnected());
    ConnectPhone();
    EXPECT_EQ(OutcomeOf(operation.run).what, "") << "works again on the new connection";
  }
  EXPECT_EQ(HardwareFailures(), 0);
}

// ---------------------------------------------------------------------------
// The dongle hangs up or leaves

constexpr const char* kPortGone = "the radio's serial port is gone";

class PortLossTest : public LibraryFaultPathTest {
 protected:
  std::vector<std::string> Callbacks() {
    std::lock_guard lock(g_app.mutex);
    return g_app.callbacks;
  }

  // Both failure callbacks have run (or the guard ran out).
  std::vector<std::string> AwaitBothCallbacks() {
    std::vector<std::string> callbacks;
    g_app.WaitUntil([&](const App& app) {
      callbacks = app.callbacks;
      return callbacks.size() >= 2;
    });
    return callbacks;
  }

  void ExpectPortGone(const Outcome& outcome, const std::string& command) {
    EXPECT_EQ(outcome.type, "BGLibError") << outcome.what;
    EXPECT_THAT(outcome.what, ::testing::StartsWith(command + " - " + kPortGone)) << "not a time-out";
    EXPECT_EQ(outcome.code, kNoResponseCode);
  }

  // What the application sees once the port has gone, whatever took it.
  void ExpectTheRadioIsGone() {
    EXPECT_THAT(AwaitBothCallbacks(), ::testing::ElementsAre("hardware failure", "soft reset, device removed"))
        << "each callback once, in this order";
    EXPECT_FALSE(Phone()->IsConnected()) << "the device saw its link drop";
    EXPECT_FALSE(details::GetBluetoothSDK()->IsDeviceOpen());

    // Later calls fail at once with the same error, and nothing is written.
    const size_t writesBefore = m_log.CountContaining(Logger::DEBUG, ">>> Header:");
    BluegigaCommands::SetBGTimeouts(60000, 60000);
    Outcome outcome;
    WithinGuard("a command after the port went",
                [&] { outcome = OutcomeOf([&] { m_scanner->SetScanParameters(200, 100); }); });
    ExpectPortGone(outcome, "ble_cmd_gap_set_scan_parameters");
    WithinGuard("a read after the port went", [&] { outcome = OutcomeOf([&] { m_long->ReadValue(false); }); });
    ExpectPortGone(outcome, "ble_cmd_attclient_read_long");
    EXPECT_EQ(m_log.CountContaining(Logger::DEBUG, ">>> Header:"), writesBefore) << "nothing written to a dead port";
    EXPECT_EQ(Callbacks().size(), 2u) << "no further callbacks";
  }

  // The terminal hangs up after `bytesBeforeClose` bytes of the answer to a
  // read: 0 ends the header read, 5 the payload read.
  void HangUpDuringARead(size_t bytesBeforeClose) {
    FindPhone();
    ConnectPhone();
    const std::string oldPath = m_radio->Path();
    m_radio->Faults().CloseDuringNextCommand("attclient_read_by_handle", bytesBeforeClose);
    // A wait far beyond the guard: only the closing port can end it in time.
    BluegigaCommands::SetBGTimeouts(60000, 60000);
    Outcome outcome;
    WithinGuard("a read on a terminal that hangs up", [&] { outcome = OutcomeOf([&] { m_short->ReadValue(true); }); });
    ExpectPortGone(outcome, "ble_cmd_attclient_read_by_handle");
    EXPECT_TRUE(m_log.HasContaining(Logger::ERROR, "Serial port closed. Error:"));
    ExpectTheRadioIsGone();
    WithinGuard("dropping the application's objects", [&] { ReleaseApplicationObjects(); });

    m_radio->Faults().Replug();
    ReopenOnNewTerminal(oldPath);
    FindPhone();
    ConnectPhone();
    ExpectReadsWork();
  }
};

TEST_F(PortLossTest, HangUpWhileTheAnswersHeaderIsAwaited) { HangUpDuringARead(0); }

TEST_F(PortLossTest, HangUpInTheMiddleOfTheAnswersPayload) { HangUpDuringARead(5); }

TEST_F(PortLossTest, UnplugWhileAReadWaitsFailsItAtOnceAndTellsTheApplicationOnce) {
  FindPhone();
  ConnectPhone();
  m_radio->Faults().IgnoreNextCommand("attclient_read_by_handle");
  BluegigaCommands::SetBGTimeouts(60000, 60000);
  Outcome outcome;
  std::chrono::steady_clock::time_point unplugged;
  WithinGuard("a read when the dongle is pulled out", [&] {
    std::thread reader([&] { outcome = OutcomeOf([&] { m_short->ReadValue(true); }); });
    if (m_radio->WaitForCommand("attclient_read_by_handle", kGuard)) {
      unplugged = std::chrono::steady_clock::now();
      m_radio->Faults().Unplug();
    }
    reader.join();
  });
  const auto waited = std::chrono::steady_clock::now() - unplugged;
  ExpectPortGone(outcome, "ble_cmd_attclient_read_by_handle");
  EXPECT_LT(waited, 1s) << "the read ends with the port, not with a time-out";
  ExpectTheRadioIsGone();
}

TEST_F(PortLossTest, UnpluggedWhileScanningTheApplicationReopensTheNewTerminalAndFindsThePhoneAgain) {
  FindPhone(true);
  const std::string oldPath = m_radio->Path();
  m_radio->Faults().Unplug();
  EXPECT_THAT(AwaitBothCallbacks(), ::testing::ElementsAre("hardware failure", "soft reset, device removed"));
  EXPECT_FALSE(m_scanner->IsConnected());

  m_radio->Faults().Replug();
  const int advertsBefore = PhoneAdverts();
  ReopenOnNewTerminal(oldPath);
  FindPhone();
  EXPECT_GT(PhoneAdverts(), advertsBefore);
  ConnectPhone();
  ExpectReadsWork();
  EXPECT_EQ(HardwareFailures(), 1);
}

TEST_F(PortLossTest, DisconnectHandlerThrowingAnythingLeavesTheReaderToTellTheApplication) {
  FindPhone();
  ConnectPhone();
  int id = 0;
  details::Subscribe<unsigned int>(
      "common_evt_disconnect", [](unsigned int) { throw 42; }, &id);
  m_radio->Faults().Unplug();
  EXPECT_THAT(AwaitBothCallbacks(), ::testing::ElementsAre("hardware failure", "soft reset, device removed"));
  details::Unsubscribe(id);
}

// ---------------------------------------------------------------------------
// Links the library lost track of

TEST_F(LibraryFaultPathTest, DisconnectLostWhileTheRadioWasSilentDoesNotLockThePhoneOut) {
  FindPhone();
  ConnectPhone();
  m_radio->Faults().StopAnswering();
  BluegigaCommands::SetBGTimeouts(kShortMs, kShortMs);
  ExpectRadioError(OutcomeOf([&] { m_short->ReadValue(true); }), "ble_cmd_attclient_read_by_handle - no response",
                   kNoResponseCode);
  OutcomeOf([&] { Phone()->Disconnect(); });
  EXPECT_FALSE(Phone()->IsConnected());
  EXPECT_EQ(m_radio->State().connections.size(), 1u) << "the radio kept the link";

  m_radio->Faults().StopAnswering(false);
  ExpectPhoneWorksWithPatientTimeouts();
  EXPECT_EQ(m_radio->State().connections.size(), 1u) << "the stale link was closed";
  EXPECT_TRUE(m_log.HasContaining(Logger::INFO, "no device owns"));
}

TEST_F(LibraryFaultPathTest, LinkTheRadioKeptIsClosedOnceTheRadioAnswersAgainWithoutWaitingForAConnect) {
  FindPhone();
  ConnectPhone();
  m_radio->Faults().StopAnswering();
  BluegigaCommands::SetBGTimeouts(kShortMs, kShortMs);
  OutcomeOf([&] { Phone()->Disconnect(); });
  ASSERT_EQ(m_radio->State().connections.size(), 1u) << "the radio kept the link";

  m_radio->Faults().StopAnswering(false);
  BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
  Barrier();  // any answered command shows the radio is back
  EXPECT_TRUE(m_log.WaitForContaining(Logger::INFO, "Reconcile connections: closed connection 0 to 5a:10:20:30:40:50"));
  EXPECT_TRUE(m_radio->State().connections.empty());
  EXPECT_FALSE(Phone()->IsConnected());
}

}  // namespace
}  // namespace lumen
