#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <future>

#include "SimRadioFixture.h"

namespace lumen::sim::testing {
namespace {

using SimSystemTest = SimRadioTest;
constexpr const char* kBootEvent = "80 0c 00 00 01 00 03 00 02 00 7a 00 05 00 01 02";

TEST_F(SimSystemTest, HelloGetsAnEmptyResponse) {
  Start(TestScenario());
  EXPECT_TRUE(line->Exchange("00 00 00 01", {"00 00 00 01"}));
}

TEST_F(SimSystemTest, GetInfoAnswersTheScenarioFirmwareByteForByte) {
  Start(TestScenario());
  EXPECT_TRUE(line->Exchange("00 00 00 08", {"00 0c 00 08 01 00 03 00 02 00 7a 00 05 00 01 02"}));
}

TEST_F(SimSystemTest, GetConnectionsReportsEverySlotAndFreeSlotsCarryNoFlags) {
  Start(TestScenario());
  ConnectHrm();
  EXPECT_TRUE(
      line->Exchange("00 00 00 06", {"00 01 00 06 03", "80 10 03 00 00 05 13 71 da 7d 1a 00 00 0c 00 64 00 00 00 ff",
                                     "80 10 03 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ff",
                                     "80 10 03 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ff"}));
}

TEST_F(SimSystemTest, RadioWithoutSlotsSendsOnlyTheCount) {
  Start(R"({"radio": {"connection_slots": 0}})");
  EXPECT_TRUE(line->Exchange("00 00 00 06", {"00 01 00 06 00"}));
  EXPECT_TRUE(line->FramesBeforeHello().empty());
}

TEST_F(SimSystemTest, SetTxPowerGetsAnEmptyResponse) {
  Start(TestScenario());
  EXPECT_TRUE(line->Exchange("00 01 07 0c 0f", {"00 00 07 0c"}));
  EXPECT_EQ(radio->State().txPower, 15);
}

TEST_F(SimSystemTest, CommandsWithoutBehaviourAnswerNotImplementedInTheirOwnLayout) {
  Start(TestScenario());
  EXPECT_TRUE(line->Exchange("00 03 00 03 34 12 05", {"00 02 00 03 83 01"}));  // system_reg_write
  // hardware_io_port_read: result, port echoed, data
  EXPECT_TRUE(line->Exchange("00 02 07 07 01 ff", {"00 04 07 07 83 01 01 00"}));
  EXPECT_TRUE(line->Exchange("00 00 01 00", {"00 00 01 00"}));  // flash_ps_defrag has an empty response
  // attclient_read_multiple: connection echoed
  EXPECT_TRUE(line->Exchange("00 04 04 0b 02 02 01 00", {"00 03 04 0b 02 83 01"}));
}

TEST_F(SimSystemTest, EveryCommandOfTheTableIsAnsweredWithItsOwnResponse) {
  Start(TestScenario("module"));
  size_t answered = 0;
  for (const BgapiMessageDef& def : BgapiMessages()) {
    if (def.kind != BgapiKind::kCommand || Bled112Engine::IsNeverAnswered(def)) continue;
    SCOPED_TRACE(def.FullName());
    Bytes command = {static_cast<uint8_t>(def.fixedLength >> 8), static_cast<uint8_t>(def.fixedLength & 0xFF),
                     def.classId, def.messageId};
    command.resize(command.size() + def.fixedLength, 0x00);  // zero values, empty arrays
    line->Write(command);
    Bytes response;
    do {
      response = line->ReadFrame();
    } while (!response.empty() && (response[0] & 0x80));  // events it may bring along
    ASSERT_FALSE(response.empty());
    EXPECT_EQ(response[2], def.classId);
    EXPECT_EQ(response[3], def.messageId);
    BgapiDecoded decoded = DecodeBgapi(response.data(), response.size(), false);
    EXPECT_TRUE(decoded.message) << decoded.error;
    ++answered;
  }
  EXPECT_EQ(answered, 116u - 4u);
}

TEST_F(SimSystemTest, ModuleResetSendsNoResponseOnlyTheBootEventOnTheSameLine) {
  Start(TestScenario("module"));
  const std::string path = radio->Path();
  EXPECT_TRUE(line->Exchange("00 01 00 00 00", {kBootEvent}));
  EXPECT_EQ(radio->Path(), path);
  EXPECT_EQ(radio->Generation(), 1u);
  EXPECT_EQ(radio->State().resets, 1u);
}

TEST_F(SimSystemTest, DongleResetHangsUpAndReturnsAtANewPathWithABootEvent) {
  std::string link = std::filesystem::temp_directory_path() / ("lumen-sim-link-" + std::to_string(::getpid()));
  VirtualBled112Options options;
  options.linkPath = link;
  Start(TestScenario("dongle"), options);
  std::promise<std::string> arrived;
  radio->SetPathCallback([&](const std::string& path) {
    if (!path.empty()) arrived.set_value(path);
  });
  const std::string oldPath = radio->Path();
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), oldPath);

  line->WriteHex("00 01 00 00 00");
  EXPECT_TRUE(line->WaitForHangup());
  const std::string newPath = radio->WaitForGeneration(2, kGuard);
  ASSERT_FALSE(newPath.empty());
  EXPECT_NE(newPath, oldPath);
  auto notified = arrived.get_future();
  ASSERT_EQ(notified.wait_for(kGuard), std::future_status::ready);
  EXPECT_EQ(notified.get(), newPath);
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), newPath);

  HostLine reopened(newPath);
  ASSERT_TRUE(reopened.IsOpen());
  EXPECT_EQ(reopened.ReadFrameHex(), kBootEvent);
  radio.reset();
  EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST_F(SimSystemTest, DongleStaysAwayForItsBootDelayOnTheSimClock) {
  Start(TestScenario("dongle", R"(, "boot_delay_ms": 1000)"));
  line->WriteHex("00 01 00 00 00");
  EXPECT_TRUE(line->WaitForHangup());
  radio->Clock().AdvanceMs(999);
  EXPECT_EQ(radio->Path(), "");
  EXPECT_EQ(radio->Generation(), 1u);
  radio->Clock().AdvanceMs(1);
  const std::string path = radio->WaitForGeneration(2, kGuard);
  ASSERT_FALSE(path.empty());
  HostLine reopened(path);
  EXPECT_EQ(reopened.ReadFrameHex(), kBootEvent);
}

TEST_F(SimSystemTest, DelayedResetWaitsForTheClockAndForgetsTheRadioState) {
  Start(TestScenario("module"));
  ASSERT_TRUE(line->Exchange("00 01 06 02 02", {"00 02 06 02 00 00"}));
  line->WriteHex("00 03 00 14 00 f4 01");  // delay_reset, 500 ms
  EXPECT_TRUE(line->FramesBeforeHello().empty()) << "no response to a delayed reset";
  radio->Clock().AdvanceMs(50);  // hrm is due at 100 ms
  EXPECT_TRUE(line->FramesBeforeHello().empty());
  auto before = FramesWithinMs(449);
  EXPECT_FALSE(before.empty()) << "discovery still runs before the reset";
  radio->Clock().AdvanceMs(1);
  std::string frame;
  do {
    frame = line->ReadFrameHex();
  } while (!frame.empty() && frame != kBootEvent);
  EXPECT_EQ(frame, kBootEvent);
  EXPECT_FALSE(radio->State().discovering);
  EXPECT_TRUE(FramesWithinMs(1000).empty()) << "the reset ended discovery";
}

TEST_F(SimSystemTest, ModuleIgnoresCommandsWhileItReboots) {
  Start(TestScenario("module", R"(, "boot_delay_ms": 200)"));
  line->WriteHex("00 01 00 00 00");
  line->WriteHex("00 00 00 01");
  ASSERT_TRUE(radio->WaitForCommand("system_hello", kGuard));
  radio->Clock().AdvanceMs(200);
  EXPECT_EQ(line->ReadFrameHex(), kBootEvent);
  // An answer to the hello sent during the reboot would come before this one.
  EXPECT_TRUE(line->Exchange("00 00 00 08", {"00 0c 00 08 01 00 03 00 02 00 7a 00 05 00 01 02"}));
  EXPECT_TRUE(line->FramesBeforeHello().empty());
}

TEST_F(SimSystemTest, RealTimeClockDeliversScanResponsesWithoutStepping) {
  VirtualBled112Options options;
  options.clockMode = SimClock::Mode::kRealTime;
  Start(TestScenario(), options);
  ASSERT_TRUE(line->Exchange("00 01 06 02 01", {"00 02 06 02 00 00", kHrmAdvert}));
}

TEST_F(SimSystemTest, FrameLogRecordsBothDirectionsWithNames) {
  Start(TestScenario());
  line->WriteHex("00 00 00 08");
  ASSERT_FALSE(line->ReadFrameHex().empty());
  auto command = radio->WaitForCommand("ble_cmd_system_get_info", kGuard);
  ASSERT_TRUE(command);
  EXPECT_EQ(ToHex(command->bytes), "00 00 00 08");
  auto response = radio->WaitForSent("system_get_info", kGuard);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->name, "ble_rsp_system_get_info");
  EXPECT_EQ(response->Decode()->Int("build"), 122);
  auto frames = radio->Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].direction, Frame::Direction::kToRadio);
  EXPECT_EQ(frames[1].direction, Frame::Direction::kFromRadio);
  EXPECT_EQ(radio->CommandCount("system_get_info"), 1u);
}

}  // namespace
}  // namespace lumen::sim::testing
