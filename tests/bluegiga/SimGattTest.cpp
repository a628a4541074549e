#include <gtest/gtest.h>

#include "SimRadioFixture.h"

namespace lumen::sim::testing {
namespace {

using SimGattTest = SimRadioTest;

// Most cases start on connection 0 to hrm.
class SimGattOnHrmTest : public SimRadioTest {
 protected:
  void SetUp() override {
    Start(TestScenario());
    ConnectHrm();
  }
};

TEST_F(SimGattOnHrmTest, ServiceDiscoveryReportsEveryPrimaryServiceThenCompletes) {
  EXPECT_TRUE(line->Exchange(
      "00 08 04 01 00 01 00 ff ff 02 00 28",
      {"00 03 04 01 00 00 00", "80 08 04 02 00 01 00 05 00 02 00 18", "80 08 04 02 00 06 00 0d 00 02 0d 18",
       "80 08 04 02 00 0e 00 11 00 02 0f 18", "80 08 04 02 00 12 00 16 00 02 0a 18", "80 05 04 01 00 00 00 ff ff"}));
}

TEST_F(SimGattOnHrmTest, ServiceDiscoveryOfANonGroupingTypeFails) {
  EXPECT_TRUE(
      line->Exchange("00 08 04 01 00 01 00 ff ff 02 03 28", {"00 03 04 01 00 00 00", "80 05 04 01 00 10 04 01 00"}));
}

TEST_F(SimGattOnHrmTest, FindInformationListsDeclarationsValuesAndDescriptors) {
  EXPECT_TRUE(line->Exchange("00 05 04 03 00 06 00 0d 00", {"00 03 04 03 00 00 00"}));
  const char* expected[] = {"06 00 02 00 28", "07 00 02 03 28", "08 00 02 37 2a", "09 00 02 02 29",
                            "0a 00 02 03 28", "0b 00 02 38 2a", "0c 00 02 03 28", "0d 00 02 39 2a"};
  for (const char* item : expected) EXPECT_EQ(line->ReadFrameHex(), std::string("80 06 04 04 00 ") + item);
  EXPECT_EQ(line->ReadFrameHex(), "80 05 04 01 00 00 00 0d 00");
}

TEST_F(SimGattOnHrmTest, ReadByHandleDeliversTheValueWithoutACompletion) {
  EXPECT_TRUE(line->Exchange("00 03 04 04 00 0b 00", {"00 03 04 04 00 00 00", "80 06 04 05 00 0b 00 00 01 01"}));
  EXPECT_TRUE(line->FramesBeforeHello().empty());
}

TEST_F(SimGattOnHrmTest, ReadOfAnInvalidHandleCompletesWithInvalidHandle) {
  EXPECT_TRUE(line->Exchange("00 03 04 04 00 50 00", {"00 03 04 04 00 00 00", "80 05 04 01 00 01 04 50 00"}));
  // A notify-only value.
  EXPECT_TRUE(line->Exchange("00 03 04 04 00 08 00", {"00 03 04 04 00 00 00", "80 05 04 01 00 02 04 08 00"}));
}

TEST_F(SimGattOnHrmTest, ReadLongDeliversTheValueInPartsOfTwentyTwoBytes) {
  EXPECT_TRUE(line->Exchange("00 03 04 08 00 16 00", {"00 03 04 08 00 00 00"}));
  Bytes value;
  std::vector<size_t> parts;
  std::vector<uint8_t> types;
  for (int i = 0; i < 3; ++i) {
    Bytes frame = line->ReadFrame();
    ASSERT_GE(frame.size(), 10u);
    ASSERT_EQ(ToHex(Bytes(frame.begin() + 2, frame.begin() + 7)), "04 05 00 16 00");
    types.push_back(frame[7]);
    parts.push_back(frame[8]);
    value.insert(value.end(), frame.begin() + 9, frame.end());
  }
  EXPECT_EQ(parts, (std::vector<size_t>{22, 22, 6}));
  EXPECT_EQ(types, (std::vector<uint8_t>{0, 4, 4}));
  Bytes expected;
  for (uint8_t i = 0; i < 50; ++i) expected.push_back(i);
  EXPECT_EQ(value, expected);
  EXPECT_EQ(line->ReadFrameHex(), "80 05 04 01 00 00 00 16 00");
}

TEST_F(SimGattOnHrmTest, WriteCompletesAndTriggersNotificationsOnlyOnceSubscribed) {
  EXPECT_TRUE(line->Exchange("00 05 04 05 00 0d 00 01 01", {"00 03 04 05 00 00 00", "80 05 04 01 00 00 00 0d 00"}));
  EXPECT_TRUE(FramesWithinMs(3000).empty()) << "nothing before the client subscribed";

  EXPECT_TRUE(line->Exchange("00 06 04 05 00 09 00 02 01 00", {"00 03 04 05 00 00 00", "80 05 04 01 00 00 00 09 00"}));
  // A value the behaviour does not answer.
  EXPECT_TRUE(line->Exchange("00 05 04 05 00 0d 00 01 02", {"00 03 04 05 00 00 00", "80 05 04 01 00 00 00 0d 00"}));
  EXPECT_TRUE(line->Exchange("00 05 04 05 00 0d 00 01 01", {"00 03 04 05 00 00 00", "80 05 04 01 00 00 00 0d 00"}));
  EXPECT_TRUE(FramesWithinMs(999).empty());
  radio->Clock().AdvanceMs(1);
  EXPECT_EQ(line->ReadFrameHex(), "80 07 04 05 00 08 00 01 02 00 48");
  radio->Clock().AdvanceMs(1000);
  EXPECT_EQ(line->ReadFrameHex(), "80 07 04 05 00 08 00 01 02 00 49");
}

TEST_F(SimGattOnHrmTest, WritesThePeerRefusesCompleteWithTheAttError) {
  // A read-only value.
  EXPECT_TRUE(line->Exchange("00 05 04 05 00 0b 00 01 02", {"00 03 04 05 00 00 00", "80 05 04 01 00 03 04 0b 00"}));
  // A configuration is two bytes.
  EXPECT_TRUE(line->Exchange("00 05 04 05 00 09 00 01 01", {"00 03 04 05 00 00 00", "80 05 04 01 00 0d 04 09 00"}));
  EXPECT_TRUE(line->Exchange("00 05 04 05 00 99 00 01 01", {"00 03 04 05 00 00 00", "80 05 04 01 00 01 04 99 00"}));
}

TEST_F(SimGattOnHrmTest, WriteCommandIsAcknowledgedByTheRadioOnly) {
  EXPECT_TRUE(line->Exchange("00 05 04 06 00 0d 00 01 01", {"00 03 04 06 00 00 00"}));
  EXPECT_TRUE(line->FramesBeforeHello().empty());
  Bytes tooLong = Hex("00 19 04 06 00 0d 00 15");
  tooLong.resize(tooLong.size() + 21, 0x01);
  line->Write(tooLong);
  EXPECT_EQ(line->ReadFrameHex(), "00 03 04 06 00 80 01");
}

TEST_F(SimGattTest, ProceduresOnALinkThatDoesNotExistAnswerNotConnected) {
  Start(TestScenario());
  EXPECT_TRUE(line->Exchange("00 03 04 04 01 0b 00", {"00 03 04 04 01 86 01"}));
  EXPECT_TRUE(line->Exchange("00 01 03 00 01", {"00 03 03 00 01 86 01"}));
}

TEST_F(SimGattOnHrmTest, DisconnectAnswersThenReportsTerminationByTheLocalHost) {
  EXPECT_TRUE(line->Exchange("00 01 03 00 00", {"00 03 03 00 00 00 00", "80 03 03 04 00 16 02"}));
  EXPECT_TRUE(radio->State().connections.empty());
  ConnectHrm();
}

TEST_F(SimGattOnHrmTest, SubscriptionsEndWithTheLink) {
  ASSERT_TRUE(line->Exchange("00 06 04 05 00 09 00 02 01 00", {"00 03 04 05 00 00 00", "80 05 04 01 00 00 00 09 00"}));
  EXPECT_TRUE(radio->Notify("hrm", "2a37", Hex("00 50")));
  EXPECT_EQ(line->ReadFrameHex(), "80 07 04 05 00 08 00 01 02 00 50");
  ASSERT_TRUE(line->Exchange("00 01 03 00 00", {"00 03 03 00 00 00 00", "80 03 03 04 00 16 02"}));
  ConnectHrm();
  EXPECT_FALSE(radio->Notify("hrm", "2a37", Hex("00 51")));
  EXPECT_TRUE(line->FramesBeforeHello().empty());
}

TEST_F(SimGattTest, ScenarioPeerDropsTheLinkDuringItsNextProcedure) {
  Start(R"({"peripherals": [{"name": "tag", "address": "e2:00:00:00:00:02", "address_type": "random",
      "gatt": [{"uuid": "1800", "characteristics": [{"uuid": "2a00", "value_text": "Tag"}]}],
      "behaviours": [{"on": "gatt_procedure", "action": "disconnect", "times": 1, "reason": 520}]}]})");
  ASSERT_TRUE(line->Exchange("00 0f 06 03 02 00 00 00 00 e2 01 06 00 0c 00 64 00 00 00",
                             {"00 03 06 03 00 00 00", "80 10 03 00 00 05 02 00 00 00 00 e2 01 0c 00 64 00 00 00 ff"}));
  EXPECT_TRUE(line->Exchange("00 08 04 01 00 01 00 ff ff 02 00 28", {"00 03 04 01 00 00 00", "80 03 03 04 00 08 02"}));
  EXPECT_TRUE(line->FramesBeforeHello().empty());
}

TEST_F(SimGattTest, ScenarioReadsBetweenSkipAndTimesCompleteWithTheAttError) {
  Start(R"({"peripherals": [{"name": "tag", "address": "e2:00:00:00:00:02", "address_type": "random",
      "gatt": [{"uuid": "1800", "characteristics": [{"uuid": "2a00", "value_text": "Tag"}]}],
      "behaviours": [{"on": "read", "characteristic": "2a00", "status": 258, "skip": 1, "times": 2}]}]})");
  ASSERT_TRUE(line->Exchange("00 0f 06 03 02 00 00 00 00 e2 01 06 00 0c 00 64 00 00 00",
                             {"00 03 06 03 00 00 00", "80 10 03 00 00 05 02 00 00 00 00 e2 01 0c 00 64 00 00 00 ff"}));
  // read_by_handle
  EXPECT_TRUE(line->Exchange("00 03 04 04 00 03 00", {"00 03 04 04 00 00 00", "80 08 04 05 00 03 00 00 03 54 61 67"}));
  // Read not permitted.
  EXPECT_TRUE(line->Exchange("00 03 04 04 00 03 00", {"00 03 04 04 00 00 00", "80 05 04 01 00 02 04 03 00"}));
  // read_long counts as one read.
  EXPECT_TRUE(line->Exchange("00 03 04 08 00 03 00", {"00 03 04 08 00 00 00", "80 05 04 01 00 02 04 03 00"}));
  EXPECT_TRUE(line->Exchange("00 03 04 08 00 03 00", {"00 03 04 08 00 00 00", "80 08 04 05 00 03 00 00 03 54 61 67",
                                                      "80 05 04 01 00 00 00 03 00"}));
}

TEST_F(SimGattTest, VersionIndicationFollowsTheConnectionWhenThePeerHasOne) {
  Start(
      R"({"peripherals": [{"address": "00:00:00:00:00:07", "version_ind": {"version": 8, "company_id": 76, "subversion": 258}}]})");
  ASSERT_TRUE(line->Exchange("00 0f 06 03 07 00 00 00 00 00 00 06 00 0c 00 64 00 00 00",
                             {"00 03 06 03 00 00 00", "80 10 03 00 00 05 07 00 00 00 00 00 00 0c 00 64 00 00 00 ff",
                              "80 06 03 01 00 08 4c 00 02 01"}));
}

}  // namespace
}  // namespace lumen::sim::testing
