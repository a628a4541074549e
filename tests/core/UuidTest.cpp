#include "lumen/Uuid.h"

#include <gtest/gtest.h>

#include <array>
#include <boost/lexical_cast.hpp>
#include <set>
#include <string>
#include <vector>

namespace lumen {
namespace {

// 0x180D expanded with the Bluetooth base UUID 0000xxxx-0000-1000-8000-00805f9b34fb.
const std::array<uint8_t, 16> kHeartRateLong = {0x00, 0x00, 0x18, 0x0d, 0x00, 0x00, 0x10, 0x00,
                                                0x80, 0x00, 0x00, 0x80, 0x5f, 0x9b, 0x34, 0xfb};

TEST(UuidTest, DefaultIsTheSixteenBitZero) {
  const Uuid uuid;
  EXPECT_EQ(uuid, Uuid(uint16_t{0}));
  EXPECT_EQ(uuid.ToString(), "0000");
  EXPECT_EQ(uuid.size(), Uuid::kShort16UuidSize);
  EXPECT_TRUE(uuid.IsShort());
}

TEST(UuidTest, ShortFormsPrintZeroPaddedLowerCaseHex) {
  EXPECT_EQ(Uuid(uint16_t{0x180D}).ToString(), "180d");
  EXPECT_EQ(Uuid(uint32_t{0x180D}).ToString(), "0000180d");
  EXPECT_EQ(Uuid(uint32_t{0xABCDEF01}).ToString(), "abcdef01");
  EXPECT_EQ(Uuid(uint16_t{0x180D}).ToWstring(), L"180d");
}

TEST(UuidTest, ShortFormsStoreLittleEndianBytes) {
  const Uuid u16(uint16_t{0x180D});
  ASSERT_EQ(u16.size(), 2u);
  EXPECT_EQ(u16.bytes()[0], 0x0D);
  EXPECT_EQ(u16.bytes()[1], 0x18);
  const Uuid u32(uint32_t{0x11223344});
  ASSERT_EQ(u32.size(), 4u);
  EXPECT_EQ(u32.bytes()[0], 0x44);
  EXPECT_EQ(u32.bytes()[3], 0x11);
  EXPECT_TRUE(u32.IsShort());
}

TEST(UuidTest, ShortAndLongFormsOfOneValueAreNeverEqual) {
  const Uuid u16(uint16_t{0x180D});
  const Uuid u32(uint32_t{0x180D});
  const Uuid u128(kHeartRateLong);
  EXPECT_NE(u16, u32);
  EXPECT_NE(u16, u128);
  EXPECT_NE(u32, u128);
  EXPECT_LT(u16, u32);
  EXPECT_LT(u16, u128);
  EXPECT_LT(u32, u128);
  EXPECT_FALSE(u128 < u16);
}

TEST(UuidTest, ParsesCanonicalTextInEitherCaseAndPrintsLowerCase) {
  const Uuid upper(std::string("0B9DB0E5-C5B3-4043-8294-44D8112ADC54"));
  EXPECT_EQ(upper.ToString(), "0b9db0e5-c5b3-4043-8294-44d8112adc54");
  EXPECT_EQ(upper.ToWstring(), L"0b9db0e5-c5b3-4043-8294-44d8112adc54");
  ASSERT_EQ(upper.size(), Uuid::kLongUuidSize);
  EXPECT_FALSE(upper.IsShort());
  EXPECT_EQ(upper.bytes()[0], 0x0B);
  EXPECT_EQ(upper.bytes()[15], 0x54);
  EXPECT_EQ(upper, Uuid(std::string("0b9db0e5-c5b3-4043-8294-44d8112adc54")));
}

TEST(UuidTest, LongUuidKeepsItsBytesInTextOrder) {
  const Uuid uuid(kHeartRateLong);
  EXPECT_EQ(uuid.ToString(), "0000180d-0000-1000-8000-00805f9b34fb");
  EXPECT_EQ(Uuid(uuid.ToString()), uuid);
}

TEST(UuidTest, NonCanonicalTextThrowsBadLexicalCast) {
  const std::vector<std::string> rejected = {
      "0B9DB0E5C5B34043829444D8112ADC54",        // dashes missing
      "{0B9DB0E5-C5B3-4043-8294-44D8112ADC54}",  // braces
      "0B9DB0E5-C5B3-4043-8294-44D8112ADC5",     // one digit short
      "0B9DB0E5-C5B3-4043-8294-44D8112ADC540",   // one digit too many
      "0B9DB0E5-C5B3-4043-8294-44D8112ADC5G",    // not hex
      "0B9DB0E5-C5B34-043-8294-44D8112ADC54",    // dash misplaced
      " 0B9DB0E5-C5B3-4043-8294-44D8112ADC5",    // leading blank
      "180d",                                    // short forms cannot be parsed
      "",
  };
  for (const std::string& text : rejected) {
    EXPECT_THROW(Uuid{text}, boost::bad_lexical_cast) << text;
  }
}

TEST(UuidTest, ShortUuidsOrderByLowByteFirst) {
  EXPECT_LT(Uuid(uint16_t{0x0100}), Uuid(uint16_t{0x00FF}));
  EXPECT_FALSE(Uuid(uint16_t{0x00FF}) < Uuid(uint16_t{0x0100}));
  EXPECT_LT(Uuid(uint32_t{0x01000000}), Uuid(uint32_t{0x00000002}));
}

TEST(UuidTest, LongUuidsOrderByTextOrder) {
  const Uuid low(std::string("00000000-0000-0000-0000-0000000000ff"));
  const Uuid high(std::string("00000001-0000-0000-0000-000000000000"));
  EXPECT_LT(low, high);
  EXPECT_FALSE(high < low);
  EXPECT_FALSE(low < low);
}

TEST(UuidTest, SetKeepsOneEntryPerValueOrderedBySizeFirst) {
  const std::set<Uuid> uuids = {Uuid(kHeartRateLong), Uuid(uint32_t{0x180D}), Uuid(uint16_t{0x180D}),
                                Uuid(uint16_t{0x180D}), Uuid(uint16_t{0xFFFF})};
  ASSERT_EQ(uuids.size(), 4u);
  std::vector<size_t> sizes;
  for (const Uuid& uuid : uuids) {
    sizes.push_back(uuid.size());
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{2, 2, 4, 16}));
}

TEST(UuidTest, CopiesAreDeepAndKeepTheKind) {
  Uuid original(uint32_t{0x180D});
  const Uuid copy(original);
  original = Uuid(uint16_t{1});
  EXPECT_EQ(copy.size(), 4u);
  EXPECT_EQ(copy.ToString(), "0000180d");

  Uuid assigned(uint16_t{7});
  assigned = copy;
  EXPECT_EQ(assigned, copy);
  EXPECT_NE(assigned.bytes(), copy.bytes());

  Uuid& self = assigned;
  assigned = self;
  EXPECT_EQ(assigned.ToString(), "0000180d");
}

TEST(UuidTest, MovedFromUuidCanBeAssignedAgain) {
  Uuid source(kHeartRateLong);
  const Uuid target(std::move(source));
  EXPECT_EQ(target.size(), 16u);
  source = Uuid(uint16_t{0x2A37});
  EXPECT_EQ(source.ToString(), "2a37");
}

TEST(UuidTest, ValidSizesAreTwoFourAndSixteen) {
  for (size_t n : {2u, 4u, 16u}) {
    EXPECT_TRUE(Uuid::IsValidUuidSize(n)) << n;
  }
  for (size_t n : {0u, 1u, 3u, 8u, 15u, 17u}) {
    EXPECT_FALSE(Uuid::IsValidUuidSize(n)) << n;
  }
}

}  // namespace
}  // namespace lumen
