#include <gtest/gtest.h>

#include <boost/variant/get.hpp>
#include <string>
#include <vector>

#include "lumen/AdvDataHelper.h"
#include "lumen/AdvDataParser.h"
#include "support/Concat.h"
#include "support/LogCapture.h"

namespace lumen {
namespace {

using details::AdvDataParser;
using testing::Concat;
using testing::LogCapture;
using Bytes = std::vector<unsigned char>;

const std::string kMac = "00:11:22:33:44:55";
// 0B9DB0E5-C5B3-4043-8294-44D8112ADC54, least significant byte first as on air.
const Bytes kLongUuidOnAir = {0x54, 0xDC, 0x2A, 0x11, 0xD8, 0x44, 0x94, 0x82,
                              0x43, 0x40, 0xB3, 0xC5, 0xE5, 0xB0, 0x9D, 0x0B};
const Uuid kLongUuid("0b9db0e5-c5b3-4043-8294-44d8112adc54");

Bytes Structure(unsigned char type, const Bytes& value) {
  Bytes bytes = {static_cast<unsigned char>(value.size() + 1), type};
  bytes.insert(bytes.end(), value.begin(), value.end());
  return bytes;
}

std::vector<Uuid> UuidsOf(const AdvDataParser::Items& items) {
  const auto entry = items.find(AdvDataParser::ServiceUuids);
  return entry == items.end() ? std::vector<Uuid>{} : boost::get<std::vector<Uuid>>(entry->second);
}

size_t Warnings(const LogCapture& log) {
  size_t count = 0;
  for (const auto& line : log.Lines()) {
    count += line.type == Logger::WARNING ? 1 : 0;
  }
  return count;
}

TEST(AdvDataParserTest, EmptyPayloadGivesNothingAndLogsNothing) {
  LogCapture log;
  EXPECT_TRUE(AdvDataParser::Parse({}, kMac).empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST(AdvDataParserTest, ZeroLengthEndsParsingEvenWithBytesAfterIt) {
  LogCapture log;
  const Bytes data = Concat({Structure(0x09, {'a'}), {0x00}, Structure(0x0A, {0x05})});
  const auto items = AdvDataParser::Parse(data, kMac);
  ASSERT_EQ(items.size(), 1U);
  EXPECT_EQ(boost::get<std::string>(items.at(AdvDataParser::LocalName)), "a");
  EXPECT_EQ(Warnings(log), 0U);
}

TEST(AdvDataParserTest, StructureEndingExactlyAtPayloadEndIsAccepted) {
  LogCapture log;
  const Bytes data = Concat({Structure(0x01, {0x06}), Structure(0x03, {0x0D, 0x18})});
  const auto uuids = UuidsOf(AdvDataParser::Parse(data, kMac));
  ASSERT_EQ(uuids.size(), 1U);
  EXPECT_EQ(uuids[0], Uuid(uint16_t{0x180D}));
  EXPECT_EQ(Warnings(log), 0U);
}

TEST(AdvDataParserTest, StructureOneBytePastTheEndIsRejectedKeepingEarlierEntries) {
  LogCapture log;
  // The second structure claims 3 bytes but only 2 follow: end index 7 > size 6.
  const Bytes data = {0x02, 0x0A, 0x04, 0x03, 0x03, 0x0D};
  const auto items = AdvDataParser::Parse(data, kMac);
  ASSERT_EQ(items.size(), 1U);
  EXPECT_EQ(boost::get<signed char>(items.at(AdvDataParser::TxPowerLevel)), 4);
  ASSERT_EQ(Warnings(log), 1U);
  EXPECT_TRUE(log.Has(Logger::WARNING, "lumen::details::AdvDataParser::Parse MAC =  " + kMac +
                                           " failed to parse 02 0a 04 03 03 0d  invalid advertisement: section "
                                           "length = 3 results in end index 7 > size 6"));
}

TEST(AdvDataParserTest, LengthByteWithoutTypeByteEndsWithOutOfRange) {
  LogCapture log;
  const Bytes data = Concat({Structure(0x09, {'x'}), {0x05}});
  const auto items = AdvDataParser::Parse(data, kMac);
  EXPECT_EQ(items.size(), 1U);
  EXPECT_TRUE(log.HasContaining(Logger::WARNING, "invalid vector<T> subscript"));
}

TEST(AdvDataParserTest, SixteenBitListWithOddByteYieldsTwoUuids) {
  const Bytes data = Structure(0x02, {0x0D, 0x18, 0x0F, 0x18, 0xAA});
  const auto uuids = UuidsOf(AdvDataParser::Parse(data, kMac));
  ASSERT_EQ(uuids.size(), 2U);
  EXPECT_EQ(uuids[0], Uuid(uint16_t{0x180D}));
  EXPECT_EQ(uuids[1], Uuid(uint16_t{0x180F}));
}

TEST(AdvDataParserTest, ThirtyTwoBitListsAreReadInFourByteGroups) {
  const Bytes data = Structure(0x05, {0x0D, 0x18, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0x01});
  const auto uuids = UuidsOf(AdvDataParser::Parse(data, kMac));
  ASSERT_EQ(uuids.size(), 2U);
  EXPECT_EQ(uuids[0], Uuid(uint32_t{0x180D}));
  EXPECT_NE(uuids[0], Uuid(uint16_t{0x180D}));
  EXPECT_EQ(uuids[1], Uuid(uint32_t{0x12345678}));
}

TEST(AdvDataParserTest, UuidsOfAllListsCollectInPayloadOrder) {
  const Bytes data =
      Concat({Structure(0x07, kLongUuidOnAir), Structure(0x03, {0x0D, 0x18}), Structure(0x04, {1, 0, 0, 0})});
  const auto uuids = UuidsOf(AdvDataParser::Parse(data, kMac));
  ASSERT_EQ(uuids.size(), 3U);
  EXPECT_EQ(uuids[0], kLongUuid);
  EXPECT_EQ(uuids[1], Uuid(uint16_t{0x180D}));
  EXPECT_EQ(uuids[2], Uuid(uint32_t{1}));
}

TEST(AdvDataParserTest, OneHundredTwentyEightBitListWithTwoUuidsStopsTheParseAndDropsIt) {
  LogCapture log;
  Bytes two = kLongUuidOnAir;
  two.insert(two.end(), kLongUuidOnAir.begin(), kLongUuidOnAir.end());
  const Bytes data = Concat({Structure(0x03, {0x0D, 0x18}), Structure(0x06, two), Structure(0x09, {'n'})});
  const auto items = AdvDataParser::Parse(data, kMac);
  ASSERT_EQ(items.size(), 1U);
  EXPECT_EQ(UuidsOf(items), std::vector<Uuid>{Uuid(uint16_t{0x180D})});
  EXPECT_EQ(Warnings(log), 1U);
  EXPECT_TRUE(log.HasContaining(Logger::WARNING, "invalid uuid data size"));
}

TEST(AdvDataParserTest, EmptyOneHundredTwentyEightBitListIsAFault) {
  LogCapture log;
  const auto items = AdvDataParser::Parse(Concat({Structure(0x07, {}), Structure(0x09, {'n'})}), kMac);
  EXPECT_TRUE(items.empty());
  EXPECT_EQ(Warnings(log), 1U);
}

TEST(AdvDataParserTest, FirstCompleteLocalNameWins) {
  const Bytes data = Concat({Structure(0x09, {'o', 'n', 'e'}), Structure(0x09, {'t', 'w', 'o'})});
  std::string name;
  EXPECT_TRUE(AdvDataHelper::GetNameIfContains(data, name, kMac));
  EXPECT_EQ(name, "one");
}

TEST(AdvDataParserTest, ShortenedLocalNameIsNotReported) {
  std::string name = "stale";
  EXPECT_FALSE(AdvDataHelper::GetNameIfContains(Structure(0x08, {'s', 'h'}), name, kMac));
  EXPECT_TRUE(name.empty());
}

TEST(AdvDataParserTest, WideNameSignExtendsEachByteToSixteenBits) {
  std::wstring name;
  ASSERT_TRUE(AdvDataHelper::GetNameIfContains(Structure(0x09, {'A', 0x80, 0xFF}), name, kMac));
  ASSERT_EQ(name.size(), 3U);
  EXPECT_EQ(static_cast<uint32_t>(name[0]), 0x41U);
  EXPECT_EQ(static_cast<uint32_t>(name[1]), 0xFF80U);
  EXPECT_EQ(static_cast<uint32_t>(name[2]), 0xFFFFU);
}

TEST(AdvDataParserTest, TxPowerIsASignedByteAndTheFirstOneWins) {
  signed char power = 0;
  const Bytes data = Concat({Structure(0x0A, {0xF4}), Structure(0x0A, {0x08})});
  EXPECT_TRUE(AdvDataHelper::GetTXPowerIfContains(data, power, kMac));
  EXPECT_EQ(power, -12);
}

TEST(AdvDataParserTest, TxPowerStructureWithoutValueDoesNotReadTheNextLengthByte) {
  LogCapture log;
  signed char power = 99;
  const Bytes data = Concat({{0x01, 0x0A}, Structure(0x09, {'n'})});
  EXPECT_FALSE(AdvDataHelper::GetTXPowerIfContains(data, power, kMac));
  EXPECT_EQ(power, 99);
  EXPECT_EQ(Warnings(log), 1U);
}

TEST(AdvDataParserTest, UuidHelperClearsItsOutputAndReportsAbsence) {
  std::vector<Uuid> uuids = {Uuid(uint16_t{1})};
  EXPECT_FALSE(AdvDataHelper::GetUuidsIfContains(Structure(0x01, {0x06}), uuids, kMac));
  EXPECT_TRUE(uuids.empty());
  EXPECT_TRUE(AdvDataHelper::GetUuidsIfContains(Structure(0x07, kLongUuidOnAir), uuids, kMac));
  EXPECT_EQ(uuids, std::vector<Uuid>{kLongUuid});
}

TEST(AdvDataParserTest, UnknownTypesAreSkipped) {
  const Bytes data =
      Concat({Structure(0xFF, {0x4C, 0x00, 0x02, 0x15}), Structure(0x16, {0x01}), Structure(0x03, {0x0A, 0x18})});
  EXPECT_EQ(UuidsOf(AdvDataParser::Parse(data, kMac)), std::vector<Uuid>{Uuid(uint16_t{0x180A})});
}

TEST(AdvDataParserTest, UuidLogLinesNameTheMacAndTheGroupSize) {
  LogCapture log;
  AdvDataParser::Parse(Concat({Structure(0x03, {0x0D, 0x18}), Structure(0x05, {1, 0, 0, 0})}), kMac);
  EXPECT_TRUE(
      log.Has(Logger::DEBUG, "lumen::details::AdvDataParser::Parse MAC= " + kMac + " uuid type = 3 uuid data len = 2"));
  EXPECT_TRUE(log.Has(Logger::DEBUG,
                      "lumen::details::AdvDataParser::Parse MAC = " + kMac + " uuid type = 5 uuid data len = 4"));
}

}  // namespace
}  // namespace lumen
