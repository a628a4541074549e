#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "core/Event.h"
#include "lumen/Advertiser.h"
#include "lumen/BeaconController.h"
#include "scan/BeaconControllerImpl.h"
#include "scan/IBeaconPacket.h"
#include "scan/ScannerFakes.h"
#include "support/LogCapture.h"

namespace lumen {
namespace {

using details::IBeaconPacket;
using scannertest::InstalledProvider;
using scannertest::RecordingProvider;
using testing::LogCapture;

// Long enough that the beacon thread never switches by itself during a test.
constexpr uint32_t kNeverSwitchMs = std::numeric_limits<uint32_t>::max();
// The shortest wait Event allows (one 100 ms slice).
constexpr uint32_t kFastSwitchMs = 1;

const Uuid kUuidA(std::string("e2c56db5-dffb-48d2-b060-d0f5a71096e0"));
const Uuid kUuidB(std::string("74278bda-b644-4520-8f0c-720eaf059935"));

std::vector<uint8_t> ExpectedFrame(const std::array<uint8_t, 16>& uuid, uint16_t major) {
  std::vector<uint8_t> frame = {0x02, 0x01, 0x06, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
  frame.insert(frame.end(), uuid.begin(), uuid.end());
  frame.insert(frame.end(), {static_cast<uint8_t>(major >> 8), static_cast<uint8_t>(major & 0xFF), 0x00, 0x00, 0xC0});
  return frame;
}

std::array<uint8_t, 16> BytesOf(const Uuid& uuid) {
  std::array<uint8_t, 16> bytes{};
  std::copy_n(uuid.bytes(), 16, bytes.begin());
  return bytes;
}

uint16_t MajorOf(const std::vector<uint8_t>& frame) { return static_cast<uint16_t>((frame[25] << 8) | frame[26]); }

std::vector<std::vector<uint8_t>> Frames(const RecordingProvider& provider) {
  std::vector<std::vector<uint8_t>> frames;
  for (const auto& call : provider.Calls()) {
    if (call.name == "SetAdvertisementData") {
      EXPECT_EQ(call.a, 0) << "the beacon must set the advertising payload, not the scan response";
      frames.push_back(call.data);
    }
  }
  return frames;
}

class BeaconControllerTest : public ::testing::Test {
 protected:
  // A radio closed by an earlier test leaves the reset flag raised, which
  // would end every beacon thread at once.
  void SetUp() override { details::Event::SetGlobalReset(false); }
};

TEST(IBeaconPacketTest, FreshPacketHoldsTheFixedIBeaconLayout) {
  IBeaconPacket packet;
  const std::vector<uint8_t> expected = {0x02, 0x01, 0x06, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15, 0,
                                         0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                                         0,    0,    0,    0,    0x00, 0x01, 0x00, 0x01, 0xC0};
  ASSERT_EQ(packet.bytes().size(), 30u);
  EXPECT_EQ(std::vector<uint8_t>(packet.bytes().begin(), packet.bytes().begin() + 25),
            std::vector<uint8_t>(expected.begin(), expected.begin() + 25));
  EXPECT_EQ(packet.bytes()[25], 0x00);
  EXPECT_EQ(packet.bytes()[26], 0x01);
  EXPECT_EQ(packet.bytes()[27], 0x00);
  EXPECT_EQ(packet.bytes()[28], 0x01);
  EXPECT_EQ(packet.bytes()[29], 0xC0);
}

TEST(IBeaconPacketTest, UuidInTextOrderAndMajorMinorBigEndian) {
  IBeaconPacket packet;
  packet.SetUuid(kUuidA);
  packet.SetMajor(0x1234);
  packet.SetMinor(0xABCD);
  std::vector<uint8_t> expected = ExpectedFrame(BytesOf(kUuidA), 0x1234);
  expected[27] = 0xAB;
  expected[28] = 0xCD;
  EXPECT_EQ(packet.bytes(), expected);
  EXPECT_EQ(packet.bytes()[9], 0xE2);  // first byte of the UUID's text form
  EXPECT_EQ(packet.GetMajor(), 0x1234);
  EXPECT_EQ(packet.GetMinor(), 0xABCD);
  EXPECT_EQ(packet.UuidText(), "e2 c5 6d b5 df fb 48 d2 b0 60 d0 f5 a7 10 96 e0 ");
}

TEST(IBeaconPacketTest, ShortUuidReplacesOnlyItsOwnBytes) {
  IBeaconPacket packet;
  packet.SetUuid(kUuidA);
  packet.SetUuid(Uuid(uint16_t{0x180D}));
  std::vector<uint8_t> expected = ExpectedFrame(BytesOf(kUuidA), 1);
  expected[9] = 0x0D;  // short UUIDs are stored little-endian
  expected[10] = 0x18;
  expected[28] = 0x01;
  EXPECT_EQ(packet.bytes(), expected);
}

TEST_F(BeaconControllerTest, FirstUuidGoesOnAirAtOnceWithExactFrame) {
  InstalledProvider provider;
  LogCapture log;
  BeaconController::Impl beacon({kUuidA, kUuidB}, 160, kNeverSwitchMs);

  const auto calls = provider->Calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0].name, "SetAdvertisementParameters");
  EXPECT_EQ(calls[0].a, 160);
  EXPECT_EQ(calls[1].name, "SetAdvertisementData");
  EXPECT_EQ(calls[2].name, "StartAdvertising");
  const uint16_t major = MajorOf(calls[1].data);
  EXPECT_GE(major, 1);
  EXPECT_LE(major, 20);
  EXPECT_EQ(calls[1].data, ExpectedFrame(BytesOf(kUuidA), major));
  EXPECT_TRUE(log.Has(Logger::INFO,
                      "lumen::BeaconController::Impl::StartAdvertising Changed advertisement to "
                      "device-specific  e2 c5 6d b5 df fb 48 d2 b0 60 d0 f5 a7 10 96 e0  ; major "
                      "value =  " +
                          std::to_string(major) + " ; minor value =  0"));
}

TEST_F(BeaconControllerTest, EachUuidWalksAllTwentyMajorsBeforeAnyRepeats) {
  InstalledProvider provider;
  BeaconController::Impl beacon({kUuidA, kUuidB}, 160, kNeverSwitchMs);
  for (int step = 0; step < 41; ++step) {
    beacon.SwitchToNextUuid();
  }

  const auto frames = Frames(*provider);
  ASSERT_EQ(frames.size(), 42u);
  std::map<int, std::vector<uint16_t>> majorsOf;  // 0 = A, 1 = B
  for (size_t i = 0; i < frames.size(); ++i) {
    const Uuid& uuid = i % 2 == 0 ? kUuidA : kUuidB;
    const uint16_t major = MajorOf(frames[i]);
    ASSERT_EQ(frames[i], ExpectedFrame(BytesOf(uuid), major)) << "frame " << i;
    majorsOf[static_cast<int>(i % 2)].push_back(major);
  }
  for (auto& [item, majors] : majorsOf) {
    std::vector<uint16_t> firstRound(majors.begin(), majors.begin() + 20);
    std::sort(firstRound.begin(), firstRound.end());
    std::vector<uint16_t> oneToTwenty(20);
    for (uint16_t v = 1; v <= 20; ++v) {
      oneToTwenty[v - 1] = v;
    }
    EXPECT_EQ(firstRound, oneToTwenty) << "item " << item;
    EXPECT_EQ(majors[20], majors[0]) << "the second round starts with the first major again";
  }
}

TEST_F(BeaconControllerTest, SwitchStopsBeforeItStartsTheNextFrame) {
  InstalledProvider provider;
  BeaconController::Impl beacon({kUuidA}, 160, kNeverSwitchMs);
  provider->Clear();
  beacon.SwitchToNextUuid();
  EXPECT_EQ(provider->Names(),
            (std::vector<std::string>{"StopAdvertising", "SetAdvertisementData", "StartAdvertising"}));
}

TEST_F(BeaconControllerTest, ThreadSwitchesUuidsByItself) {
  InstalledProvider provider;
  {
    BeaconController::Impl beacon({kUuidA, kUuidB}, 160, kFastSwitchMs);
    ASSERT_TRUE(provider->WaitForCount("SetAdvertisementData", 3));
  }
  const auto frames = Frames(*provider);
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(frames[0], ExpectedFrame(BytesOf(kUuidA), MajorOf(frames[0])));
  EXPECT_EQ(frames[1], ExpectedFrame(BytesOf(kUuidB), MajorOf(frames[1])));
  EXPECT_EQ(frames[2], ExpectedFrame(BytesOf(kUuidA), MajorOf(frames[2])));
  EXPECT_NE(MajorOf(frames[0]), MajorOf(frames[2]));
}

TEST_F(BeaconControllerTest, DestructionJoinsTheThreadAfterItStoppedAdvertising) {
  InstalledProvider provider;
  {
    BeaconController::Impl beacon({kUuidA, kUuidB}, 160, kFastSwitchMs);
    // The thread has switched at least once, so it is mid-rotation.
    ASSERT_TRUE(provider->WaitForCount("SetAdvertisementData", 2));
  }
  // By the time the destructor returned the thread had stopped the last
  // frame it started: each frame is stopped before the next, the last one too.
  const size_t frames = provider->Count("SetAdvertisementData");
  ASSERT_GE(frames, 2u);
  std::vector<std::string> expected{"SetAdvertisementParameters", "SetAdvertisementData", "StartAdvertising"};
  for (size_t frame = 1; frame < frames; ++frame) {
    expected.insert(expected.end(), {"StopAdvertising", "SetAdvertisementData", "StartAdvertising"});
  }
  expected.emplace_back("StopAdvertising");
  EXPECT_EQ(provider->Names(), expected);
}

TEST_F(BeaconControllerTest, StopAndRestartPutsTheFirstUuidBackOnAir) {
  InstalledProvider provider;
  BeaconController::Impl beacon({kUuidA, kUuidB}, 160, kNeverSwitchMs);
  beacon.SwitchToNextUuid();
  beacon.StopBeacon();
  EXPECT_EQ(provider->Names().back(), "StopAdvertising");

  provider->Clear();
  ASSERT_TRUE(beacon.StartBeacon());
  const auto frames = Frames(*provider);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], ExpectedFrame(BytesOf(kUuidA), MajorOf(frames[0])));
  EXPECT_EQ(provider->Names().back(), "StartAdvertising");
}

TEST_F(BeaconControllerTest, RadioResetEndsTheRotationAndStopsAdvertising) {
  InstalledProvider provider;
  // Never switching, so the only stop can come from the thread leaving.
  BeaconController::Impl beacon({kUuidA, kUuidB}, 160, kNeverSwitchMs);
  details::Event::SetGlobalReset(true);
  const bool stopped = provider->WaitForCount("StopAdvertising", 1);
  details::Event::SetGlobalReset(false);
  ASSERT_TRUE(stopped);
  beacon.StopBeacon();  // joins the thread that has already left
  EXPECT_EQ(provider->Names().back(), "StopAdvertising");
  EXPECT_EQ(provider->Count("StopAdvertising"), 1u) << "the thread must end once, not keep rotating";
  EXPECT_EQ(Frames(*provider).size(), 1u);
}

TEST_F(BeaconControllerTest, EmptyUuidListRunsButNeverAdvertises) {
  InstalledProvider provider;
  BeaconController::Impl beacon({}, 160, kNeverSwitchMs);
  beacon.SwitchToNextUuid();
  EXPECT_EQ(provider->Count("SetAdvertisementData"), 0u);
  EXPECT_EQ(provider->Count("StartAdvertising"), 0u);
}

TEST_F(BeaconControllerTest, MissingRadioIsLoggedNotThrown) {
  LogCapture log;
  EXPECT_NO_THROW({ BeaconController beacon({kUuidA}, 160); });
  EXPECT_TRUE(log.Has(Logger::ERROR,
                      "lumen::BeaconController::Impl::InitAdvertiser Failed to init iBeacon "
                      "advertiser: BluetoothSDK not initialized"));
}

TEST_F(BeaconControllerTest, AdvertisingErrorsAreLoggedNotThrown) {
  InstalledProvider provider;
  BeaconController::Impl beacon({kUuidA}, 160, kNeverSwitchMs);
  LogCapture log;
  provider->failAdvertising = true;
  EXPECT_NO_THROW(beacon.SwitchToNextUuid());
  EXPECT_TRUE(log.Has(Logger::ERROR,
                      "lumen::BeaconController::Impl::StopAdvertising Failed to stop advertising: "
                      "advertising refused"));
  EXPECT_TRUE(log.Has(Logger::ERROR,
                      "lumen::BeaconController::Impl::StartAdvertising Failed to start advertising: "
                      "advertising refused"));
  EXPECT_NO_THROW(beacon.StopBeacon());
}

TEST_F(BeaconControllerTest, BluegigaErrorsAreCalledOutInTheLog) {
  InstalledProvider provider;
  BeaconController::Impl beacon({kUuidA}, 160, kNeverSwitchMs);
  LogCapture log;
  provider->advertisingFailsWithBGLibError = true;
  beacon.StopBeacon();
  EXPECT_TRUE(log.HasContaining(Logger::ERROR,
                                "lumen::BeaconController::Impl::StopAdvertising BGLibError thrown  "
                                "BGLibError to stop advertising: ble_cmd_gap_set_mode failed"));
}

}  // namespace
}  // namespace lumen
