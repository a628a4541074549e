#include <gtest/gtest.h>

#include "SimRadioFixture.h"

namespace lumen::sim::testing {
namespace {

using SimDfuTest = SimRadioTest;

Bytes UploadCommand(const Bytes& block) {
  size_t length = 1 + block.size();
  Bytes command = {static_cast<uint8_t>((length >> 8) & 0x07), static_cast<uint8_t>(length & 0xFF), 0x09, 0x02,
                   static_cast<uint8_t>(block.size())};
  command.insert(command.end(), block.begin(), block.end());
  return command;
}

TEST_F(SimDfuTest, UploadedImageIsKeptByteForByteAndTheRadioBootsAgain) {
  Start(TestScenario("module", R"(, "bootloader_version": 3)"));
  EXPECT_TRUE(line->Exchange("00 01 09 00 01", {"80 04 09 00 03 00 00 00"}));
  EXPECT_EQ(radio->State().mode, RadioSnapshot::Mode::kBootLoader);
  EXPECT_TRUE(line->Exchange("00 04 09 01 00 10 00 00", {"00 02 09 01 00 00"}));

  Bytes image;
  for (size_t block = 0; block < 3; ++block) {
    Bytes data(block < 2 ? 255 : 100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(block * 7 + i * 13);
    line->Write(UploadCommand(data));
    EXPECT_EQ(line->ReadFrameHex(), "00 02 09 02 00 00") << "block " << block;
    image.insert(image.end(), data.begin(), data.end());
  }
  EXPECT_TRUE(line->Exchange("00 00 09 03", {"00 02 09 03 00 00"}));
  EXPECT_TRUE(line->Exchange("00 01 09 00 00", {"80 0c 00 00 01 00 03 00 02 00 7a 00 05 00 01 02"}));

  DfuImage uploaded = radio->Dfu();
  EXPECT_EQ(uploaded.startAddress, 0x1000u);
  EXPECT_EQ(uploaded.blocks, 3u);
  EXPECT_TRUE(uploaded.finished);
  EXPECT_EQ(uploaded.bytes, image);
  EXPECT_EQ(radio->State().mode, RadioSnapshot::Mode::kApplication);
}

TEST_F(SimDfuTest, BootLoaderAnswersOnlyTheDfuClass) {
  Start(TestScenario("module"));
  ASSERT_TRUE(line->Exchange("00 01 09 00 01", {"80 04 09 00 01 00 00 00"}));
  line->WriteHex("00 00 00 01");
  ASSERT_TRUE(radio->WaitForCommand("system_hello", kGuard));
  // An upload before an address.
  EXPECT_TRUE(line->Exchange("00 01 09 02 00", {"00 02 09 02 81 01"})) << "the hello got no answer";
}

TEST_F(SimDfuTest, FlashCommandsOutsideTheBootLoaderAreWrongState) {
  Start(TestScenario("module"));
  EXPECT_TRUE(line->Exchange("00 04 09 01 00 10 00 00", {"00 02 09 01 81 01"}));
  EXPECT_TRUE(line->Exchange("00 02 09 02 01 aa", {"00 02 09 02 81 01"}));
  EXPECT_FALSE(radio->Dfu().addressSet);
}

TEST_F(SimDfuTest, DongleReEnumeratesIntoItsBootLoader) {
  Start(TestScenario("dongle"));
  line->WriteHex("00 01 09 00 01");
  EXPECT_TRUE(line->WaitForHangup());
  const std::string path = radio->WaitForGeneration(2, kGuard);
  ASSERT_FALSE(path.empty());
  HostLine reopened(path);
  EXPECT_EQ(reopened.ReadFrameHex(), "80 04 09 00 01 00 00 00");
}

}  // namespace
}  // namespace lumen::sim::testing
