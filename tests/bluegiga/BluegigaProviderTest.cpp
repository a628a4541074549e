// The Bluegiga provider end to end against the virtual BLED112.
#include <future>

#include "BluegigaSimFixture.h"
#include "bluegiga/BgApi.h"
#include "core/CallbacksManager.h"
#include "core/ConnectionTable.h"
#include "core/MessageQueue.h"
#include "lumen/BGLibError.h"
#include "lumen/BluegigaCommands.h"
#include "support/FirmwareImage.h"
#include "support/Guard.h"

namespace lumen::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using details::BGLibError;
using details::BGCalls::SetTimeouts;

std::atomic<int> g_hardwareFailures{0};
void CountHardwareFailure() { ++g_hardwareFailures; }

std::atomic<int> g_scanningReports{0};
void CountScanningReport(bool /*scanning*/) { ++g_scanningReports; }

class BluegigaProviderTest : public BluegigaSimTest {
 protected:
};

TEST_F(BluegigaProviderTest, InitializeProbesReadsFirmwareAndStopsLeftoverDiscovery) {
  Open(PhonesScenario(), BLED112Dongle, true);
  EXPECT_TRUE(m_log.HasContaining(Logger::WARNING, "Bluegiga device is functional"));
  EXPECT_TRUE(m_log.HasContaining(Logger::INFO, "Bluegiga supports #connections = 3"));
  EXPECT_EQ(BluegigaCommands::GetFirmwareVersion(), "1.8.0.149");
  EXPECT_TRUE(Sdk().IsDeviceOpen());
  EXPECT_TRUE(Sdk().SupportsContinuousScanning());
  EXPECT_TRUE(Sdk().ResetRemovesDevice());
  EXPECT_EQ(m_radio->CommandCount("system_hello"), 1U);
  EXPECT_EQ(m_radio->CommandCount("system_get_info"), 1U);
  EXPECT_EQ(m_radio->CommandCount("system_get_connections"), 1U);
  EXPECT_EQ(m_radio->CommandCount("gap_end_procedure"), 1U);
}

TEST_F(BluegigaProviderTest, SecondOpenDeviceReturnsFalseWithoutTouchingThePort) {
  Open(PhonesScenario(), BLE113);
  EXPECT_FALSE(Sdk().ResetRemovesDevice());
  const size_t commands = m_radio->ReceivedCommands().size();
  EXPECT_FALSE(Sdk().OpenDevice(BLE113, m_radio->Path(), 0, true));
  EXPECT_EQ(m_radio->ReceivedCommands().size(), commands);
}

TEST_F(BluegigaProviderTest, OldFirmwareWarnsIgnoresAdvertisingAndResetsAtOnce) {
  Open(PhonesScenario("module", R"({"major": 1, "minor": 3, "patch": 2, "build": 100})"), BLE113);
  EXPECT_EQ(BluegigaCommands::GetFirmwareVersion(), "1.3.2.100");
  EXPECT_FALSE(Sdk().SupportsContinuousScanning());

  Sdk().SetScanParametersForEstablishingConnections(100, 50);
  EXPECT_TRUE(m_log.HasContaining(Logger::WARNING,
                                  "SetScanParametersForEstablishingConnections is not supported in Bluegiga firmware"));
  Sdk().SetAdvertisementData(0, {0x02, 0x01, 0x06});
  Sdk().SetAdvertisementParameters(160);
  EXPECT_EQ(m_radio->CommandCount("gap_set_initiating_con_parameters"), 0U);
  EXPECT_EQ(m_radio->CommandCount("gap_set_adv_data"), 0U);
  EXPECT_EQ(m_radio->CommandCount("gap_set_adv_parameters"), 0U);

  Sdk().DelayedNonDFUReset(0, true);
  EXPECT_TRUE(
      m_log.HasContaining(Logger::WARNING, "Bluegiga firmware does not support delayed reset, so do immediate reset"));
  EXPECT_EQ(m_radio->CommandCount("system_reset"), 1U);
  EXPECT_EQ(m_radio->CommandCount("system_delay_reset"), 0U);
}

TEST_F(BluegigaProviderTest, FirmwareOneSevenHasDelayedResetButNoContinuousScanning) {
  Open(PhonesScenario("module", R"({"major": 1, "minor": 7, "patch": 0, "build": 130})"), BLE113);
  EXPECT_FALSE(Sdk().SupportsContinuousScanning());
  Sdk().DelayedNonDFUReset(0, true);
  const auto reset = m_radio->WaitForCommand("system_delay_reset", kGuard);
  ASSERT_TRUE(reset);
  EXPECT_EQ(m_radio->CommandCount("system_reset"), 0U);
}

TEST_F(BluegigaProviderTest, VersionTwoHasEveryFlagButAdvertisingDataBelowBuild119) {
  Open(PhonesScenario("module", R"({"major": 2, "minor": 0, "patch": 0, "build": 0})"), BLE113);
  EXPECT_EQ(BluegigaCommands::GetFirmwareVersion(), "2.0.0.0");
  EXPECT_TRUE(Sdk().SupportsContinuousScanning());
  Sdk().SetScanParametersForEstablishingConnections(100, 50);
  EXPECT_EQ(m_radio->CommandCount("gap_set_initiating_con_parameters"), 1U);
  Sdk().SetAdvertisementData(0, {0x02, 0x01, 0x06});
  EXPECT_EQ(m_radio->CommandCount("gap_set_adv_data"), 0U);
}

TEST_F(BluegigaProviderTest, SilentRadioFailsInitializeAndCallsHardwareFailure) {
  m_radio = std::make_unique<sim::VirtualBled112>(sim::Scenario::FromJson(PhonesScenario()));
  m_radio->Faults().StopAnswering();
  SetTimeouts(200, 200);
  g_hardwareFailures = 0;
  Set_HardwareFailureCallback(&CountHardwareFailure);
  EXPECT_FALSE(Initialize(m_radio->Path(), 0, BLED112Dongle, false));
  Set_HardwareFailureCallback(nullptr);
  EXPECT_EQ(g_hardwareFailures.load(), 1);
  EXPECT_TRUE(
      m_log.HasContaining(Logger::WARNING, "Bluegiga initialization failed: ble_cmd_system_get_info - no response"));
  EXPECT_FALSE(details::IsBluetoothSDKInitialized());
}

TEST_F(BluegigaProviderTest, MissingPortFailsInitializeCleanly) {
  EXPECT_FALSE(Initialize("/dev/lumen-no-such-port", 0, BLED112Dongle, false));
  EXPECT_TRUE(m_log.HasContaining(Logger::ERROR, "failed to open serial port"));
  EXPECT_FALSE(details::IsBluetoothSDKInitialized());
}

TEST_F(BluegigaProviderTest, DiscoveryStartsOnceReportsAdvertisementsAndEndsHarmlessly) {
  Open(PhonesScenario());
  g_scanningReports = 0;
  Sdk().SetScanningStateCallback(&CountScanningReport);

  std::promise<Bytes> advertised;
  std::atomic<bool> fired{false};
  int id = 0;
  details::Subscribe<const details::bglib::ble_msg_gap_scan_response_evt_t*>(
      "ble_evt_gap_scan_response",
      [&](const details::bglib::ble_msg_gap_scan_response_evt_t* event) {
        if (!fired.exchange(true)) {
          advertised.set_value(Bytes(event->sender.addr, event->sender.addr + 6));
        }
      },
      &id);

  Sdk().StartScan(false);
  Sdk().StartScan(false);  // already running: the radio's 0x0181 is not an error
  EXPECT_TRUE(Sdk().IsScanning());
  EXPECT_EQ(g_scanningReports.load(), 1);
  EXPECT_TRUE(m_log.HasContaining(Logger::INFO, "start scanning got error 0x181"));

  m_radio->Clock().AdvanceMs(250);
  auto sender = advertised.get_future();
  ASSERT_EQ(sender.wait_for(kGuard), std::future_status::ready);
  EXPECT_EQ(sender.get().size(), 6U);
  details::Unsubscribe(id);

  Sdk().EndProcedure();
  Sdk().EndProcedure();  // nothing to end: harmless
  EXPECT_FALSE(Sdk().IsScanning());
  EXPECT_EQ(g_scanningReports.load(), 2);
  Sdk().SetScanningStateCallback(nullptr);
}

TEST_F(BluegigaProviderTest, ScanAndInitiatingParametersReachTheRadio) {
  Open(PhonesScenario());
  Sdk().SetScanParameters(0x4B0, 0x30, 0);
  Sdk().SetScanParametersForEstablishingConnections(0x60, 0x20);
  const sim::RadioSnapshot radio = m_radio->State();
  EXPECT_EQ(radio.scanIntervalUnits, 0x4B0);
  EXPECT_EQ(radio.scanWindowUnits, 0x30);
  EXPECT_FALSE(radio.activeScanning);
  EXPECT_EQ(radio.initiatingScanIntervalUnits, 0x60);
  EXPECT_EQ(radio.initiatingScanWindowUnits, 0x20);
}

TEST_F(BluegigaProviderTest, ConnectWhileScanningEndsDiscoveryFirst) {
  Open(PhonesScenario());
  Sdk().StartScan(true);
  const size_t endsBefore = m_radio->CommandCount("gap_end_procedure");
  const auto h = Connect();
  EXPECT_EQ(m_radio->CommandCount("gap_end_procedure"), endsBefore + 1);
  EXPECT_FALSE(Sdk().IsScanning());
  Sdk().Disconnect(h);
}

TEST_F(BluegigaProviderTest, ConnectToAbsentPeerEndsTheAttemptAndLeavesTheHandleUnbound) {
  Open(PhonesScenario());
  SetTimeouts(1000, 300);
  details::DeviceConnectionHandle h;
  const Address nobody({1, 2, 3, 4, 5, 6}, Address::Public);
  const size_t endsBefore = m_radio->CommandCount("gap_end_procedure");
  try {
    Sdk().ConnectDirect(h, {}, nobody, 60, 76, 100, 0);
    FAIL() << "expected no connected event";
  } catch (const BGLibError& e) {
    EXPECT_NE(std::string(e.what()).find("ble_rsp_gap_connect_direct - no connected event"), std::string::npos);
  }
  EXPECT_FALSE(h.IsConnected());
  EXPECT_EQ(m_radio->CommandCount("gap_end_procedure"), endsBefore + 1);
}

TEST_F(BluegigaProviderTest, GattDiscoveryReadWriteNotifyRssiAndDisconnect) {
  Open(PhonesScenario());
  const auto h = Connect();

  const auto services = Sdk().GetListOfServices(h);
  ASSERT_EQ(services.size(), 2U);
  EXPECT_EQ(services[0].uuid, Uuid(uint16_t{0x1800}));
  EXPECT_EQ(services[1].uuid, kPhoneService);
  EXPECT_LT(services[0].endHandle, services[1].startHandle);

  EXPECT_EQ(Sdk().ReadByHandle(h, ValueHandle(h, kShortValue)), Bytes{0x01});

  EXPECT_EQ(NotificationsAfterAWrite(h), (std::vector<Bytes>{{0x01, 0x01}, {0x01, 0x02}, {0x01, 0x03}}));

  int8_t rssi = 0;
  EXPECT_TRUE(Sdk().GetRSSI(h, &rssi));
  EXPECT_LT(rssi, 0);

  Sdk().Disconnect(h);
  EXPECT_FALSE(h.IsConnected());
  EXPECT_THROW(Sdk().ReadByHandle(h, 1), details::KesBluetoothSDKLibError);
}

TEST_F(BluegigaProviderTest, ReadLongAssemblesThePartsInOrder) {
  Open(PhonesScenario());
  const auto h = Connect();
  Bytes expected(40);
  for (size_t i = 0; i < expected.size(); ++i) {
    expected[i] = static_cast<uint8_t>(i);
  }
  EXPECT_EQ(Sdk().ReadLong(h, ValueHandle(h, kLongValue)), expected);
  Sdk().Disconnect(h);
}

TEST_F(BluegigaProviderTest, InvalidHandleIsReportedAsTheLibrarysInvalidHandleCode) {
  Open(PhonesScenario());
  const auto h = Connect();
  try {
    Sdk().ReadByHandle(h, 0x0999);
    FAIL() << "expected an invalid handle error";
  } catch (const BGLibError& e) {
    EXPECT_EQ(e.code(), details::kErrorInvalidHandle);
    EXPECT_NE(std::string(e.what()).find("wait for ble_cmd_attclient_read_by_handle failed"), std::string::npos);
  }
  Sdk().Disconnect(h);
}

TEST_F(BluegigaProviderTest, DisconnectDuringWriteFailsWithUnexpectedDisconnect) {
  Open(PhonesScenario());
  const auto h = Connect();
  const uint16_t handle = ValueHandle(h, kWritable);
  ASSERT_TRUE(m_radio->Faults().DisconnectDuringNextGattProcedure(static_cast<uint8_t>(details::GetNativeHandle(h))));
  try {
    Sdk().AttributeWrite(h, handle, {0x01});
    FAIL() << "expected an unexpected disconnect";
  } catch (const BGLibError& e) {
    EXPECT_EQ(e.code(), details::kErrorUnexpectedDisconnect);
    EXPECT_NE(std::string(e.what()).find("ble_cmd_attclient_attribute_write failed"), std::string::npos);
  }
  EXPECT_FALSE(h.IsConnected());  // the disconnect event unbound it
}

TEST_F(BluegigaProviderTest, ErrorResultIsThrownWithTheRadiosCode) {
  Open(PhonesScenario());
  m_radio->Faults().FailNextCommand("gap_set_mode", 0x0181);
  try {
    Sdk().StartAdvertising();
    FAIL() << "expected the radio's error";
  } catch (const BGLibError& e) {
    EXPECT_EQ(e.code(), 0x0181);
    EXPECT_NE(std::string(e.what()).find("Device in Wrong State"), std::string::npos);
  }
  Sdk().StartAdvertising();
  Sdk().StopAdvertising();
}

TEST_F(BluegigaProviderTest, MaxConnectionsCountsOneStatusPerSlotAndPrintsThem) {
  Open(PhonesScenario());
  EXPECT_EQ(Sdk().GetMaxConnections(2000, true), 3);
  EXPECT_EQ(m_log.CountContaining(Logger::INFO, "Connection:"), 3U);
}

TEST_F(BluegigaProviderTest, ModuleResetWaitsForTheBootEvent) {
  Open(PhonesScenario("module"), BLE113);
  BluegigaCommands::Reset(0, true);
  EXPECT_EQ(m_radio->CommandCount("system_reset"), 1U);
  EXPECT_TRUE(Sdk().IsDeviceOpen());
}

TEST_F(BluegigaProviderTest, FirmwareUploadArrivesByteForByte) {
  Open(PhonesScenario("module"), BLE113);
  const Bytes image = TestFirmwareImage();
  BluegigaCommands::DfuReset(1, true);
  UploadFirmware(image);
  BluegigaCommands::DfuReset(0, true);

  const sim::DfuImage uploaded = m_radio->Dfu();
  EXPECT_TRUE(uploaded.addressSet);
  EXPECT_EQ(uploaded.startAddress, 0x1000U);
  EXPECT_TRUE(uploaded.finished);
  EXPECT_EQ(uploaded.bytes, image);
}

TEST_F(BluegigaProviderTest, MaintenanceBeforeInitializeLogsAndReturns) {
  BluegigaCommands::Reset(0, true);
  EXPECT_TRUE(m_log.HasContaining(Logger::ERROR, "BluegigaCommands::Reset called before KESLUMEN initialized."));
  EXPECT_EQ(BluegigaCommands::GetFirmwareVersion(), "");
  EXPECT_TRUE(
      m_log.HasContaining(Logger::ERROR, "BluegigaCommands::GetFirmwareVersion called before KESLUMEN initialized."));
}

TEST_F(BluegigaProviderTest, UnplugMidCommandEndsTheWaitWithinASlice) {
  Open(PhonesScenario());
  SetTimeouts(60000, 60000);
  m_radio->Faults().StopAnswering();
  auto pending = std::async(std::launch::async, [this] { Sdk().SetTXPower(3); });
  ASSERT_TRUE(m_radio->WaitForCommand("hardware_set_txpower", kGuard));
  m_radio->Faults().Unplug();
  ASSERT_EQ(pending.wait_for(kGuard), std::future_status::ready);
  EXPECT_THROW(pending.get(), BGLibError);
  EXPECT_TRUE(details::Event::IsGlobalReset());
  EXPECT_FALSE(Sdk().IsDeviceOpen());
}

}  // namespace
}  // namespace lumen::testing
