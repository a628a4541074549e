// What a radio and its serial line do wrong, provoked from outside the
// process, and what the application sees: an error, a callback, no hang, and
// a library that goes on working.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iterator>

#include "serial/SerialTest.h"

namespace lumen::testing {
namespace {

using FaultTest = SerialTest;

// Runs `call` on a thread of its own: a call still running after the guard is
// a hang that nothing later could end, so the program stops there.
template <class Call>
void WithinGuard(const char* what, Call&& call) {
  auto done = std::async(std::launch::async, std::forward<Call>(call));
  if (done.wait_for(kGuard) != std::future_status::ready) {
    std::fprintf(stderr, "HANG: %s did not return\n", what);
    std::fflush(stderr);
    std::abort();
  }
  done.get();
}

TEST_F(FaultTest, RadioThatStopsAnsweringFailsEachCommandAfterItsTimeOutAndRecovers) {
  Open(PhonesScenario());
  m_scanner = GetScanner();
  m_radio->StopAnswering();
  BluegigaCommands::SetBGTimeouts(kShortMs, kShortMs);
  ExpectRadioError(OutcomeOf([] { BluegigaCommands::SetTXPower(9); }), "ble_cmd_hardware_set_txpower - no response",
                   kNoResponseCode);
  ExpectRadioError(OutcomeOf([&] { m_scanner->SetScanParameters(0x4B0, 0x30); }),
                   "ble_cmd_gap_set_scan_parameters - no response", kNoResponseCode);
  EXPECT_EQ(HardwareFailures(), 2) << "the application is told of each";
  EXPECT_EQ(m_radio->CommandCount("hardware_set_txpower"), 1u) << "the radio read the command";

  m_radio->StopAnswering(false);
  BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
  EXPECT_EQ(OutcomeOf([] { BluegigaCommands::SetTXPower(9); }).what, "");
  EXPECT_EQ(m_radio->State().at("tx_power"), 9);
  EXPECT_EQ(HardwareFailures(), 2);
}

TEST_F(FaultTest, LostCompletingEventEndsTheReadInItsTimeOutAndTheNextReadWorks) {
  Open(PhonesScenario());
  ConnectPhone();
  m_radio->LoseNextFrame("attclient_attribute_value");
  BluegigaCommands::SetBGTimeouts(kPatientMs, kShortMs);
  ExpectRadioError(OutcomeOf([&] { m_short->ReadValue(true); }),
                   "ble_cmd_attclient_read_by_handle - no completed event", 0x0185);
  BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
  EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a});
  EXPECT_EQ(HardwareFailures(), 0) << "the radio answered every command";
}

TEST_F(FaultTest, RadioErrorMakesTheLibraryResetAModuleAndScanningGoesOn) {
  Open(PhonesScenario("module"), BLE113);
  ASSERT_TRUE(Find(kPhoneAddress, true));
  const size_t bootsBefore = m_radio->State().at("resets").get<size_t>();
  m_radio->SendRadioError();
  ASSERT_TRUE(g_app.WaitUntil([] { return !g_app.softResets.empty(); })) << "the application was not told";
  ASSERT_TRUE(
      m_log.WaitFor(Logger::INFO, "ForceResetAfterHardwareRadioError: after hardware_radio_error, done handling"));
  {
    std::lock_guard lock(g_app.mutex);
    EXPECT_EQ(g_app.softResets, std::vector<bool>{false}) << "a module stays on its line";
    EXPECT_EQ(g_app.hardwareFailures, 1);
  }
  EXPECT_EQ(m_radio->State().at("resets").get<size_t>(), bootsBefore + 1) << "the radio was reset";
  EXPECT_TRUE(m_scanner->IsConnected());

  const int before = Adverts(kPhoneAddress);
  m_scanner->StartLeScan();
  m_radio->Advance(std::chrono::milliseconds(200));
  EXPECT_TRUE(g_app.WaitUntil([&] { return g_app.adverts[kPhoneAddress] > before; }))
      << "no advertisement after the reset";
}

TEST_F(FaultTest, GarbageOnTheLineIsSkippedAndNothingIsLost) {
  Open(PhonesScenario());
  ConnectPhone();
  // No run of these bytes, alone or with the start of the frame behind them,
  // reads as a header the library could take.
  const Bytes kStray = {0xde, 0xad, 0xbe, 0xef, 0x7e, 0x55, 0xff};
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    m_radio->GarbageBeforeNextFrame("gap_set_scan_parameters", {static_cast<uint8_t>(0x11 * i + 0x0b)});
    ASSERT_EQ(OutcomeOf([&] { m_scanner->SetScanParameters(200, 100); }).what, "");
    m_radio->GarbageBeforeNextFrame("attclient_attribute_value",
                                    Bytes(kStray.begin(), kStray.begin() + 1 + i % kStray.size()));
    ASSERT_EQ(m_short->ReadValue(true), Bytes{0x2a});
    m_radio->SendGarbage({0xfe, 0xed, 0xfa, 0xce, 0x42});
    ASSERT_EQ(m_long->ReadValue(false), Counting(40));
  }
  EXPECT_EQ(HardwareFailures(), 0);
  EXPECT_TRUE(m_phone->IsConnected());
}

TEST_F(FaultTest, UnpluggedDongleIsMissedAndFoundAgainUnderTheSamePortName) {
  Open(PhonesScenario());
  ASSERT_TRUE(Find(kPhoneAddress, true));
  m_radio->Unplug();
  ASSERT_TRUE(m_log.WaitFor(Logger::INFO, "Serial port closed"));
  EXPECT_FALSE(m_scanner->IsConnected());
  ASSERT_TRUE(g_app.WaitUntil([] { return !g_app.softResets.empty(); })) << "the application was not told";
  {
    std::lock_guard lock(g_app.mutex);
    EXPECT_EQ(g_app.softResets, std::vector<bool>{true}) << "the device is gone from the host";
    EXPECT_EQ(g_app.hardwareFailures, 1) << "told once, though no command was waiting";
  }

  Close();
  EXPECT_FALSE(Initialize(Port(), 0, BLED112Dongle, false)) << "nothing is plugged in at " << Port();
  EXPECT_TRUE(m_log.HasContaining(Logger::ERROR, "failed to open serial port"));
  UnInitialize();

  m_radio->Replug();
  ASSERT_FALSE(m_radio->WaitForGeneration(2, kGuard).empty()) << "the dongle never came back";
  ASSERT_TRUE(InitializeOnPort());
  ConnectPhone();
  EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a});
}

TEST_F(FaultTest, PortClosingDuringACommandEndsItsWaitAtOnce) {
  for (size_t bytesBeforeClose : {size_t{0}, size_t{5}}) {
    SCOPED_TRACE(bytesBeforeClose);
    Open(PhonesScenario());
    ConnectPhone();
    m_radio->CloseDuringNextCommand("attclient_read_by_handle", bytesBeforeClose);
    // A wait far beyond the guard: only the closing port can end it in time.
    BluegigaCommands::SetBGTimeouts(60000, 60000);
    Outcome outcome;
    WithinGuard("a read on a port that closes", [&] { outcome = OutcomeOf([&] { m_short->ReadValue(true); }); });
    ExpectRadioError(outcome, "ble_cmd_attclient_read_by_handle - the radio's serial port is gone", kNoResponseCode);
    EXPECT_TRUE(m_log.WaitFor(Logger::INFO, "Serial port closed"));
    EXPECT_FALSE(m_scanner->IsConnected());
    WithinGuard("dropping the application's objects", [&] { Close(); });

    m_radio->Replug();
    ASSERT_FALSE(m_radio->WaitForGeneration(2, kGuard).empty());
    ASSERT_TRUE(InitializeOnPort());
    ConnectPhone();
    EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a});
    Close();
    m_log.Clear();
  }
}

TEST_F(FaultTest, ConnectionAttemptToASilentRadioIsCalledOffAndTheNextOneWorks) {
  Open(PhonesScenario());
  m_phone = Find(kPhoneAddress);
  ASSERT_TRUE(m_phone);
  m_radio->GoSilent();
  BluegigaCommands::SetBGTimeouts(kPatientMs, kShortMs);
  ExpectRadioError(OutcomeOf([&] { m_phone->Connect(); }), "ble_rsp_gap_connect_direct - no connected event",
                   kNoResponseCode);
  EXPECT_FALSE(m_phone->IsConnected());
  const auto commands = m_radio->ReceivedCommands();
  const auto connect = std::find_if(commands.rbegin(), commands.rend(), [](const RemoteFrame& frame) {
    return frame.name == "ble_cmd_gap_connect_direct";
  });
  ASSERT_NE(connect, commands.rend());
  ASSERT_NE(connect, commands.rbegin()) << "nothing was sent after the attempt";
  EXPECT_EQ(std::prev(connect)->name, "ble_cmd_gap_end_procedure") << "the attempt is called off";
  EXPECT_TRUE(m_radio->State().at("connections").empty());

  m_radio->GoSilent(false);
  BluegigaCommands::SetBGTimeouts(kPatientMs, kPatientMs);
  ConnectPhone();
  EXPECT_EQ(m_short->ReadValue(true), Bytes{0x2a});
}

}  // namespace
}  // namespace lumen::testing
