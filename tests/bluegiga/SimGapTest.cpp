#include <gtest/gtest.h>

#include "SimRadioFixture.h"

namespace lumen::sim::testing {
namespace {

// Most cases run on the test scenario.
class SimGapTest : public SimRadioTest {
 protected:
  void SetUp() override { Start(TestScenario()); }
};
using SimGapOwnScenarioTest = SimRadioTest;

constexpr const char* kBeaconAdvert =
    "80 26 06 00 ba 02 01 00 00 ee ff c0 01 ff 1b 1a ff 4c 00 02 15 e2 c5 6d b5 df fb 48 d2 b0 60 d0 f5 a7 10 96 e0 "
    "00 01 00 02 c5";

void Discover(HostLine& line, int mode) {
  line.Write({0x00, 0x01, 0x06, 0x02, static_cast<uint8_t>(mode)});
  ASSERT_EQ(line.ReadFrameHex(), "00 02 06 02 00 00");
}

TEST_F(SimGapTest, SecondDiscoverIsRefusedWithWrongState) {
  Discover(*line, 1);
  EXPECT_TRUE(line->Exchange("00 01 06 02 01", {"00 02 06 02 81 01"}));
  EXPECT_TRUE(radio->State().discovering);
}

TEST_F(SimGapTest, EndProcedureWithNothingRunningIsWrongStateAndEndsDiscoveryOtherwise) {
  EXPECT_TRUE(line->Exchange("00 00 06 04", {"00 02 06 04 81 01"}));
  Discover(*line, 2);
  EXPECT_TRUE(line->Exchange("00 00 06 04", {"00 02 06 04 00 00"}));
  EXPECT_TRUE(FramesWithinMs(1000).empty());
}

TEST_F(SimGapTest, ScanResponsesArriveAtEachPeripheralsIntervalOnTheSteppedClock) {
  ASSERT_TRUE(line->Exchange("00 05 06 07 4b 00 32 00 00", {"00 02 06 07 00 00"}));  // passive scanning
  Discover(*line, 2);
  EXPECT_TRUE(FramesWithinMs(99).empty());
  EXPECT_EQ(FramesWithinMs(1), std::vector<std::string>{kHrmAdvert});
  EXPECT_EQ(FramesWithinMs(150), (std::vector<std::string>{kHrmAdvert, kBeaconAdvert}));

  std::vector<int64_t> times;
  for (const Frame& frame : radio->SentFrames()) {
    if (frame.Matches("gap_scan_response")) times.push_back(frame.simTime.count() / 1000);
  }
  EXPECT_EQ(times, (std::vector<int64_t>{100, 200, 250}));
}

TEST_F(SimGapTest, GenericDiscoveryHearsOnlyAdvertisersFlaggedDiscoverable) {
  ASSERT_TRUE(line->Exchange("00 05 06 07 4b 00 32 00 00", {"00 02 06 07 00 00"}));
  Discover(*line, 1);
  EXPECT_EQ(FramesWithinMs(250), (std::vector<std::string>{kHrmAdvert, kHrmAdvert}));
}

TEST_F(SimGapTest, ActiveScanningAddsTheScanResponsePacket) {
  Discover(*line, 1);
  EXPECT_EQ(FramesWithinMs(100), (std::vector<std::string>{kHrmAdvert, kHrmScanResponse}));
}

TEST_F(SimGapTest, DuplicateFilteringReportsEachPacketOfAnAdvertiserOnce) {
  ASSERT_TRUE(line->Exchange("00 03 06 06 00 00 01", {"00 02 06 06 00 00"}));
  Discover(*line, 1);
  EXPECT_EQ(FramesWithinMs(500), (std::vector<std::string>{kHrmAdvert, kHrmScanResponse}));
}

TEST_F(SimGapTest, InvalidScanOrConnectionParametersAreRefused) {
  EXPECT_TRUE(line->Exchange("00 05 06 07 10 00 20 00 01", {"00 02 06 07 80 01"}));  // window longer than interval
  EXPECT_TRUE(line->Exchange("00 04 06 0b 10 00 20 00", {"00 02 06 0b 80 01"}));
  // Interval below 7.5 ms.
  EXPECT_TRUE(line->Exchange("00 0f 06 03 13 71 da 7d 1a 00 00 05 00 0c 00 64 00 00 00", {"00 03 06 03 80 01 00"}));
  EXPECT_TRUE(line->Exchange("00 01 06 02 03", {"00 02 06 02 80 01"}));
  EXPECT_TRUE(line->Exchange("00 04 06 0b 40 00 20 00", {"00 02 06 0b 00 00"}));
  EXPECT_EQ(radio->State().initiatingScanIntervalUnits, 0x40);
}

TEST_F(SimGapTest, ConnectDirectAnswersThenReportsTheLinkConnectedAndCompleted) {
  ConnectHrm();
  auto state = radio->State();
  ASSERT_EQ(state.connections.size(), 1u);
  EXPECT_EQ(state.connections[0].peripheral, "hrm");
  EXPECT_TRUE(line->Exchange("00 01 03 01 00", {"00 02 03 01 00 d0"}));
}

TEST_F(SimGapTest, ConnectionToAnAbsentPeerStaysPendingWithoutAnEventUntilEnded) {
  EXPECT_TRUE(line->Exchange("00 0f 06 03 99 99 99 99 99 99 00 06 00 0c 00 64 00 00 00", {"00 03 06 03 00 00 00"}));
  EXPECT_TRUE(FramesWithinMs(5000).empty());
  EXPECT_TRUE(line->Exchange(kConnectHrm, {"00 03 06 03 81 01 00"})) << "connect while connecting";
  EXPECT_TRUE(line->Exchange("00 01 06 02 01", {"00 02 06 02 81 01"})) << "discover while connecting";
  EXPECT_TRUE(line->Exchange("00 00 06 04", {"00 02 06 04 00 00"}));
  EXPECT_TRUE(radio->State().connections.empty());
  ConnectHrm();
}

TEST_F(SimGapTest, ConnectWhileDiscoveringIsWrongState) {
  Discover(*line, 1);
  EXPECT_TRUE(line->Exchange(kConnectHrm, {"00 03 06 03 81 01 00"}));
}

TEST_F(SimGapTest, AddressTypeMustMatchTheAdvertiser) {
  // Random instead of public.
  EXPECT_TRUE(line->Exchange("00 0f 06 03 13 71 da 7d 1a 00 01 06 00 0c 00 64 00 00 00", {"00 03 06 03 00 00 00"}));
  EXPECT_TRUE(line->FramesBeforeHello().empty());
}

TEST_F(SimGapTest, PendingConnectionCompletesWhenThePeerComesIntoRange) {
  EXPECT_TRUE(line->Exchange("00 0f 06 03 01 00 00 00 00 d1 01 06 00 0c 00 64 00 00 00", {"00 03 06 03 00 00 00"}));
  EXPECT_TRUE(FramesWithinMs(999).empty());
  radio->Clock().AdvanceMs(1);
  EXPECT_EQ(line->ReadFrameHex(), "80 10 03 00 00 05 01 00 00 00 00 d1 01 0c 00 64 00 00 00 ff");
}

TEST_F(SimGapOwnScenarioTest, EveryConnectionSlotTakenRefusesTheNextConnect) {
  Start(R"({"radio": {"connection_slots": 1}, "peripherals": [
      {"address": "00:00:00:00:00:01"}, {"address": "00:00:00:00:00:02"}]})");
  EXPECT_TRUE(line->Exchange("00 0f 06 03 01 00 00 00 00 00 00 06 00 0c 00 64 00 00 00",
                             {"00 03 06 03 00 00 00", "80 10 03 00 00 05 01 00 00 00 00 00 00 0c 00 64 00 00 00 ff"}));
  EXPECT_TRUE(line->Exchange("00 0f 06 03 02 00 00 00 00 00 00 06 00 0c 00 64 00 00 00", {"00 03 06 03 09 02 00"}));
}

TEST_F(SimGapOwnScenarioTest, RotatedAddressIsWhatTheScannerHearsAndWhatItMustConnectTo) {
  Start(R"({"peripherals": [{"address": "4b:00:00:00:00:01", "address_type": "random", "adv_interval_ms": 1000,
      "adv_data": {"flags": 6}, "rssi": -40,
      "address_rotation": {"every_s": 2, "addresses": ["4b:00:00:00:00:02"]}}]})");
  Discover(*line, 1);
  EXPECT_EQ(FramesWithinMs(2000), (std::vector<std::string>{"80 0e 06 00 d8 00 01 00 00 00 00 4b 01 ff 03 02 01 06",
                                                            "80 0e 06 00 d8 00 02 00 00 00 00 4b 01 ff 03 02 01 06"}));
  ASSERT_TRUE(line->Exchange("00 00 06 04", {"00 02 06 04 00 00"}));
  // The old address.
  EXPECT_TRUE(line->Exchange("00 0f 06 03 01 00 00 00 00 4b 01 06 00 0c 00 64 00 00 00", {"00 03 06 03 00 00 00"}));
  EXPECT_TRUE(line->FramesBeforeHello().empty());
}

TEST_F(SimGapTest, OwnAdvertisingIsRecordedOnAirWithSimTimesAndFollowsNewData) {
  ASSERT_TRUE(line->Exchange("00 05 06 08 a0 00 a0 00 07", {"00 02 06 08 00 00"}));  // 100 ms
  const Bytes first = Hex("02 01 06 1a ff 4c 00 02 15 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff 00 01 00 02 c5");
  Bytes command = Hex("00 20 06 09 00 1e");
  command.insert(command.end(), first.begin(), first.end());
  line->Write(command);
  ASSERT_EQ(line->ReadFrameHex(), "00 02 06 09 00 00");
  ASSERT_TRUE(line->Exchange("00 02 06 01 04 03", {"00 02 06 01 00 00"}));
  radio->Clock().AdvanceMs(250);

  Bytes second = first;
  second[9] = 0xEE;
  command = Hex("00 20 06 09 00 1e");
  command.insert(command.end(), second.begin(), second.end());
  line->Write(command);
  ASSERT_EQ(line->ReadFrameHex(), "00 02 06 09 00 00");
  radio->Clock().AdvanceMs(100);
  ASSERT_TRUE(line->Exchange("00 02 06 01 00 00", {"00 02 06 01 00 00"}));
  radio->Clock().AdvanceMs(1000);

  auto onAir = radio->OnAir();
  ASSERT_EQ(onAir.size(), 4u);
  for (size_t i = 0; i < onAir.size(); ++i) {
    EXPECT_EQ(onAir[i].time.count(), static_cast<int64_t>(i) * 100000);
    EXPECT_EQ(onAir[i].advData, i < 3 ? first : second);
    EXPECT_EQ(onAir[i].discoverableMode, 4);
    EXPECT_EQ(onAir[i].connectableMode, 3);
  }
  EXPECT_FALSE(radio->State().advertising);
}

TEST_F(SimGapTest, AdvertisingRequestsOutsideTheRangesAreRefused) {
  EXPECT_TRUE(line->Exchange("00 05 06 08 10 00 a0 00 07", {"00 02 06 08 80 01"}));  // below 20 ms
  Bytes tooLong = Hex("00 22 06 09 00 20");
  tooLong.resize(tooLong.size() + 32, 0x00);
  line->Write(tooLong);
  EXPECT_EQ(line->ReadFrameHex(), "00 02 06 09 80 01");
  EXPECT_TRUE(line->Exchange("00 02 06 01 05 00", {"00 02 06 01 80 01"}));
}

}  // namespace
}  // namespace lumen::sim::testing
