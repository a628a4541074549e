#include <gtest/gtest.h>

#include <map>

#include "SimHostLine.h"
#include "sim/BgapiCodec.h"
#include "sim/BgapiTable.h"

namespace lumen::sim {
namespace {

using testing::Hex;

TEST(SimCodecTest, TableKeepsIdsOfEveryClassAlignedWithTheReference) {
  std::map<uint8_t, int> commands, responses, events;
  for (const BgapiMessageDef& def : BgapiMessages()) {
    auto& counts = def.kind == BgapiKind::kCommand ? commands : def.kind == BgapiKind::kResponse ? responses : events;
    EXPECT_EQ(def.messageId, counts[def.classId]) << def.FullName() << " leaves a gap in its class";
    ++counts[def.classId];
  }
  EXPECT_EQ(BgapiMessages().size(), 269u);
  const std::map<uint8_t, int> kCommandCounts = {{0, 21}, {1, 9},  {2, 6},  {3, 10}, {4, 12},
                                                 {5, 9},  {6, 13}, {7, 23}, {8, 7},  {9, 6}};
  const std::map<uint8_t, int> kEventCounts = {{0, 8}, {1, 1}, {2, 3}, {3, 5}, {4, 7}, {5, 5}, {6, 2}, {7, 5}, {9, 1}};
  EXPECT_EQ(commands, kCommandCounts);
  EXPECT_EQ(responses, kCommandCounts);
  EXPECT_EQ(events, kEventCounts);
}

TEST(SimCodecTest, ArrayLengthCountsInTheHeaderAndTheBytesFollowTheFixedPart) {
  Bytes data(31, 0xAB);
  Bytes frame = EncodeBgapi(BgapiKind::kCommand, "gap_set_adv_data", {int64_t{0}, data});
  ASSERT_EQ(frame.size(), 4u + 2u + 31u);
  EXPECT_EQ(ToHex(Bytes(frame.begin(), frame.begin() + 6)), "00 21 06 09 00 1f");
  EXPECT_EQ(Bytes(frame.begin() + 6, frame.end()), data);
}

TEST(SimCodecTest, ConnectDirectDecodesWithTimeoutBeforeLatency) {
  Bytes frame = Hex("00 0f 06 03 11 22 33 44 55 66 01 06 00 0c 00 64 00 02 00");
  BgapiDecoded decoded = DecodeBgapi(frame.data(), frame.size(), true);
  ASSERT_TRUE(decoded.message) << decoded.error;
  EXPECT_EQ(decoded.message->def->FullName(), "ble_cmd_gap_connect_direct");
  EXPECT_EQ(decoded.message->Address("address").ToString(), "66:55:44:33:22:11");
  EXPECT_EQ(decoded.message->Int("addr_type"), 1);
  EXPECT_EQ(decoded.message->Int("conn_interval_min"), 6);
  EXPECT_EQ(decoded.message->Int("conn_interval_max"), 12);
  EXPECT_EQ(decoded.message->Int("timeout"), 100);
  EXPECT_EQ(decoded.message->Int("latency"), 2);
}

TEST(SimCodecTest, SignedFieldsSurviveTheRoundTrip) {
  Bytes frame =
      EncodeBgapi(BgapiKind::kEvent, "gap_scan_response",
                  {int64_t{-55}, int64_t{0}, Hex("01 02 03 04 05 06"), int64_t{1}, int64_t{0xFF}, Hex("02 01 06")});
  EXPECT_EQ(ToHex(frame), "80 0e 06 00 c9 00 01 02 03 04 05 06 01 ff 03 02 01 06");
  BgapiDecoded decoded = DecodeBgapi(frame.data(), frame.size(), false);
  ASSERT_TRUE(decoded.message) << decoded.error;
  EXPECT_EQ(decoded.message->Int("rssi"), -55);
  EXPECT_EQ(decoded.message->Array("data"), Hex("02 01 06"));
}

TEST(SimCodecTest, MalformedFramesAreRefusedNotGuessed) {
  auto decode = [](std::string_view hex) {
    Bytes frame = Hex(hex);
    return DecodeBgapi(frame.data(), frame.size(), true);
  };
  EXPECT_FALSE(decode("00 00 00 15").message) << "one past the last system command";
  EXPECT_FALSE(decode("00 01 00 01 00").message) << "hello with a stray payload byte";
  EXPECT_FALSE(decode("00 02 06 09 00 05").message) << "array longer than the payload";
  EXPECT_FALSE(decode("00 03 06 09 00 01 aa").message == std::nullopt) << "a well-formed set_adv_data";
  EXPECT_FALSE(decode("08 00 00 01").message) << "technology bits set";
  EXPECT_FALSE(decode("00 01 00 01").message) << "header promises more than is there";
}

TEST(SimCodecTest, EncoderRefusesValuesThatDoNotFitTheRow) {
  EXPECT_THROW(EncodeBgapi(BgapiKind::kResponse, "gap_discover", {int64_t{0x10000}}), std::invalid_argument);
  EXPECT_THROW(EncodeBgapi(BgapiKind::kResponse, "gap_discover", {}), std::invalid_argument);
  EXPECT_THROW(EncodeBgapi(BgapiKind::kEvent, "gap_scan_response",
                           {int64_t{-200}, int64_t{0}, Bytes(6, 0), int64_t{0}, int64_t{0}, Bytes{}}),
               std::invalid_argument);
  EXPECT_THROW(EncodeBgapi(BgapiKind::kCommand, "dfu_flash_upload", {Bytes(256, 0)}), std::invalid_argument);
}

TEST(SimCodecTest, HexTextRejectsOddDigitsAndStrayCharacters) {
  EXPECT_EQ(ParseHex("0x0A:1b 2C-3d"), Bytes({0x0A, 0x1B, 0x2C, 0x3D}));
  EXPECT_THROW(ParseHex("abc"), std::invalid_argument);
  EXPECT_THROW(ParseHex("zz"), std::invalid_argument);
  EXPECT_THROW(ParseHex("a b"), std::invalid_argument);
}

}  // namespace
}  // namespace lumen::sim
