#include <gtest/gtest.h>

#include "SimRadioFixture.h"

namespace lumen::sim::testing {
namespace {

using SimFaultTest = SimRadioTest;

TEST_F(SimFaultTest, StoppedRadioReadsCommandsButNeverAnswers) {
  Start(TestScenario());
  radio->Faults().StopAnswering();
  line->WriteHex("00 00 00 08");
  ASSERT_TRUE(radio->WaitForCommand("system_get_info", kGuard));
  radio->Faults().Clear();
  EXPECT_TRUE(line->FramesBeforeHello().empty());
}

TEST_F(SimFaultTest, RadioErrorIsAnEventWithoutPayload) {
  Start(TestScenario());
  radio->Faults().SendRadioError();
  EXPECT_EQ(line->ReadFrameHex(), "80 00 07 04");
}

TEST_F(SimFaultTest, SilentAirStopsScanResponsesUntilItClears) {
  Start(TestScenario());
  ASSERT_TRUE(line->Exchange("00 01 06 02 01", {"00 02 06 02 00 00"}));
  radio->Faults().GoSilent();
  EXPECT_TRUE(FramesWithinMs(1000).empty());
  radio->Faults().GoSilent(false);
  radio->Clock().AdvanceMs(100);
  EXPECT_EQ(line->ReadFrameHex(), kHrmAdvert);
}

TEST_F(SimFaultTest, DroppedLinkReportsTheReason) {
  Start(TestScenario());
  EXPECT_FALSE(radio->Faults().DropConnection(0));
  ConnectHrm();
  EXPECT_TRUE(radio->Faults().DropConnection(0, 0x0208));
  EXPECT_EQ(line->ReadFrameHex(), "80 03 03 04 00 08 02");
  EXPECT_TRUE(radio->State().connections.empty());
}

TEST_F(SimFaultTest, PeerDropsTheLinkDuringTheNextGattProcedureOnly) {
  Start(TestScenario());
  ConnectHrm();
  ASSERT_TRUE(radio->Faults().DisconnectDuringNextGattProcedure(0));
  EXPECT_TRUE(line->Exchange("00 05 04 05 00 0d 00 01 01", {"00 03 04 05 00 00 00", "80 03 03 04 00 08 02"}));
  ConnectHrm();
  EXPECT_TRUE(line->Exchange("00 03 04 04 00 0b 00", {"00 03 04 04 00 00 00", "80 06 04 05 00 0b 00 00 01 01"}));
}

TEST_F(SimFaultTest, GarbageReachesTheHostInOrderWithTheRadiosOutput) {
  Start(TestScenario());
  radio->Faults().SendGarbage(Hex("de ad be ef 42"));
  line->WriteHex("00 00 00 01");
  EXPECT_EQ(ToHex(line->Read(5)), "de ad be ef 42");
  EXPECT_EQ(line->ReadFrameHex(), "00 00 00 01");
}

TEST_F(SimFaultTest, CloseDuringACommandHangsUpAfterPartOfTheAnswer) {
  Start(TestScenario());
  radio->Faults().CloseDuringNextCommand("system_get_info", 6);
  line->WriteHex("00 00 00 08");
  EXPECT_EQ(ToHex(line->Read(6)), "00 0c 00 08 01 00");
  EXPECT_TRUE(line->WaitForHangup());
  EXPECT_EQ(radio->Path(), "");

  radio->Faults().Replug();
  const std::string path = radio->WaitForGeneration(2, kGuard);
  ASSERT_FALSE(path.empty());
  HostLine reopened(path);
  EXPECT_EQ(reopened.ReadFrameHex(), "80 0c 00 00 01 00 03 00 02 00 7a 00 05 00 01 02");
  EXPECT_TRUE(reopened.Exchange("00 00 00 01", {"00 00 00 01"}));
}

TEST_F(SimFaultTest, ChosenCommandFailsWithTheChosenResultAndHasNoEffect) {
  Start(TestScenario());
  radio->Faults().FailNextCommand("gap_discover", 0x0181);
  EXPECT_TRUE(line->Exchange("00 01 06 02 01", {"00 02 06 02 81 01"}));
  EXPECT_FALSE(radio->State().discovering);
  EXPECT_TRUE(line->Exchange("00 01 06 02 01", {"00 02 06 02 00 00"}));

  radio->Faults().FailNextCommand("attclient_read_by_handle", 0x0185);
  EXPECT_TRUE(line->Exchange("00 03 04 04 02 0b 00", {"00 03 04 04 02 85 01"})) << "the connection is echoed";
}

TEST_F(SimFaultTest, IgnoredCommandGetsNoAnswerOnce) {
  Start(TestScenario());
  radio->Faults().IgnoreNextCommand("system_hello");
  line->WriteHex("00 00 00 01");
  ASSERT_TRUE(radio->WaitForCommand("system_hello", kGuard));
  // Another command's answer comes first: an answered hello would be ahead of it.
  EXPECT_TRUE(line->Exchange("00 00 00 08", {"00 0c 00 08 01 00 03 00 02 00 7a 00 05 00 01 02"}));
  EXPECT_TRUE(line->FramesBeforeHello().empty()) << "only the first hello is ignored";
  EXPECT_EQ(radio->CommandCount("system_hello"), 2u);
}

TEST_F(SimFaultTest, UnpluggedDongleReturnsOnlyWhenReplugged) {
  Start(TestScenario());
  radio->Faults().Unplug();
  EXPECT_TRUE(line->WaitForHangup());
  EXPECT_EQ(radio->Path(), "");
  radio->Clock().AdvanceMs(10000);
  EXPECT_EQ(radio->Generation(), 1u);
  radio->Faults().Replug();
  EXPECT_FALSE(radio->WaitForGeneration(2, kGuard).empty());
}

// Sends bytes that are no command: the radio logs them without a name, drops
// them and answers the next command.
void ExpectDroppedAndTheLineRecovers(VirtualBled112& radio, HostLine& line, const std::string& hex) {
  line.WriteHex(hex);
  auto dropped = radio.WaitForCommand("", kGuard);
  ASSERT_TRUE(dropped);
  EXPECT_EQ(ToHex(dropped->bytes), hex);
  EXPECT_TRUE(line.Exchange("00 00 00 01", {"00 00 00 01"}));
}

TEST_F(SimFaultTest, StrayBytesFromTheHostAreDroppedAndTheLineRecovers) {
  Start(TestScenario());
  ExpectDroppedAndTheLineRecovers(*radio, *line, "ff ff ff ff ff");
}

TEST_F(SimFaultTest, HalfACommandIsDroppedAfterASilence) {
  Start(TestScenario());
  ExpectDroppedAndTheLineRecovers(*radio, *line, "00 05 06 03 11");  // a connect cut short
}

TEST_F(SimFaultTest, LostFrameNeverArrivesButTheRadioCarriesOn) {
  Start(TestScenario());
  ConnectHrm();
  radio->Faults().LoseNextFrame("attclient_attribute_value");
  EXPECT_TRUE(line->Exchange("00 03 04 04 00 0b 00", {"00 03 04 04 00 00 00"}));
  line->WriteHex("00 03 04 04 00 0b 00");
  EXPECT_EQ(line->ReadFrameHex(), "00 03 04 04 00 00 00") << "the first read's value is lost";
  EXPECT_EQ(line->ReadFrameHex(), "80 06 04 05 00 0b 00 00 01 01") << "only once";
  EXPECT_EQ(radio->State().connections.size(), 1u);
}

TEST_F(SimFaultTest, GarbageRidesInFrontOfTheChosenFrameOnly) {
  Start(TestScenario());
  radio->Faults().GarbageBeforeNextFrame("gap_discover", Hex("de ad"));
  EXPECT_TRUE(line->Exchange("00 00 00 01", {"00 00 00 01"}));
  line->WriteHex("00 01 06 02 01");
  EXPECT_EQ(ToHex(line->Read(8)), "de ad 00 02 06 02 00 00");
  EXPECT_TRUE(line->Exchange("00 00 06 04", {"00 02 06 04 00 00"}));

  const auto sent = radio->SentFrames();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[1].name, "") << "the garbage is logged as stray bytes";
  EXPECT_EQ(ToHex(sent[1].bytes), "de ad");
  EXPECT_EQ(ToHex(sent[2].bytes), "00 02 06 02 00 00");
}

}  // namespace
}  // namespace lumen::sim::testing
