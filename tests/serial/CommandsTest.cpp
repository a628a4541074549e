// The maintenance commands an application sends a Bluegiga radio.
#include <algorithm>

#include "serial/SerialTest.h"
#include "support/FirmwareImage.h"

namespace lumen::testing {
namespace {

using CommandsTest = SerialTest;

TEST_F(CommandsTest, TxPowerReachesTheRadio) {
  Open(PhonesScenario());
  BluegigaCommands::SetTXPower(10);
  const auto command = m_radio->WaitForCommand("hardware_set_txpower", kGuard);
  ASSERT_TRUE(command);
  EXPECT_EQ(command->Int("power"), 10);
  EXPECT_EQ(m_radio->State().at("tx_power"), 10);
  BluegigaCommands::SetTXPower(4);
  EXPECT_EQ(m_radio->State().at("tx_power"), 4);
}

TEST_F(CommandsTest, ModuleResetWaitsForTheBootAndTheRadioStaysOpen) {
  Open(PhonesScenario("module"), BLE113);
  const int resetsBefore = m_radio->State().at("resets").get<int>();
  BluegigaCommands::Reset(0, true);
  EXPECT_EQ(m_radio->CommandCount("system_reset"), 1u);
  EXPECT_EQ(m_radio->State().at("resets").get<int>(), resetsBefore + 1) << "the module booted again";
  EXPECT_EQ(m_radio->Generation(), 1u) << "a module keeps its line";
  BluegigaCommands::SetTXPower(7);
  EXPECT_EQ(m_radio->State().at("tx_power"), 7);
}

TEST_F(CommandsTest, DongleResetReEnumeratesAndTheSamePortNameReachesItAgain) {
  Open(PhonesScenario());
  const std::string before = m_radio->Path();
  BluegigaCommands::Reset(0, false);
  const std::string after = m_radio->WaitForGeneration(2, kGuard);
  ASSERT_FALSE(after.empty()) << "the dongle never came back";
  EXPECT_NE(after, before);
  EXPECT_TRUE(m_log.WaitForContaining(Logger::INFO, "Serial port closed")) << "the old terminal hung up";

  Close();
  ASSERT_TRUE(InitializeOnPort()) << Port() << " does not lead to the returned dongle";
  EXPECT_EQ(BluegigaCommands::GetFirmwareVersion(), "1.8.0.149");
  EXPECT_EQ(m_radio->CommandCount("system_get_info"), 2u);
}

TEST_F(CommandsTest, FirmwareUploadArrivesByteForByte) {
  Open(PhonesScenario("module"), BLE113);
  const Bytes image = TestFirmwareImage();
  BluegigaCommands::DfuReset(1, true);
  EXPECT_EQ(m_radio->State().at("mode"), "boot_loader");
  UploadFirmware(image);
  BluegigaCommands::DfuReset(0, true);

  const auto dfu = m_radio->Dfu();
  EXPECT_TRUE(dfu.at("address_set").get<bool>());
  EXPECT_EQ(dfu.at("start_address"), 0x1000);
  EXPECT_TRUE(dfu.at("finished").get<bool>());
  EXPECT_EQ(dfu.at("blocks"), 8);
  std::string hex;
  for (uint8_t byte : image) {
    static const char kDigits[] = "0123456789abcdef";
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0f];
  }
  EXPECT_EQ(dfu.at("bytes").get<std::string>(), hex);
  EXPECT_EQ(m_radio->State().at("mode"), "application") << "the new firmware booted";
}

TEST_F(CommandsTest, RadioRefusingACommandIsThrownWithItsCodeAndTheNextOneWorks) {
  Open(PhonesScenario());
  m_scanner = GetScanner();
  m_radio->FailNextCommand("gap_set_scan_parameters", 0x0181);
  const Outcome refused = OutcomeOf([&] { m_scanner->SetScanParameters(0x4B0, 0x30); });
  EXPECT_EQ(refused.type, "BGLibError") << refused.what;
  EXPECT_EQ(refused.code, 0x0181);
  EXPECT_NE(refused.what.find("Device in Wrong State"), std::string::npos) << refused.what;
  EXPECT_NE(m_radio->State().at("scan_interval"), 0x4B0) << "a refused command has no effect";

  m_scanner->SetScanParameters(0x4B0, 0x30);
  EXPECT_EQ(m_radio->State().at("scan_interval"), 0x4B0);
  EXPECT_EQ(HardwareFailures(), 0) << "the radio answered";
}

}  // namespace
}  // namespace lumen::testing
