#include "lumen/Address.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace lumen {
namespace {

TEST(AddressTest, DefaultIsAllZeroPublic) {
  const Address address;
  EXPECT_EQ(address.ToString(), "00:00:00:00:00:00");
  EXPECT_EQ(address.type(), Address::Public);
}

TEST(AddressTest, PrintsMostSignificantByteFirstInLowerCase) {
  const Address address({0x01, 0x02, 0x03, 0x04, 0x05, 0x06}, Address::Random);
  EXPECT_EQ(address.ToString(), "06:05:04:03:02:01");
  EXPECT_EQ(address.ToWstring(), L"06:05:04:03:02:01");
  EXPECT_EQ(Address({0xAB, 0xCD, 0xEF, 0x00, 0x9A, 0xFF}, Address::Public).ToString(), "ff:9a:00:ef:cd:ab");
  EXPECT_EQ(address.bytes()[0], 0x01);
  EXPECT_EQ(address.type(), Address::Random);
}

TEST(AddressTest, EqualityAndOrderingIgnoreTheType) {
  const Address pub({1, 2, 3, 4, 5, 6}, Address::Public);
  const Address rnd({1, 2, 3, 4, 5, 6}, Address::Random);
  EXPECT_TRUE(pub == rnd);
  EXPECT_FALSE(pub < rnd);
  EXPECT_FALSE(rnd < pub);
}

TEST(AddressTest, OrderingLooksAtByteZeroFirstNotAtTheText) {
  const Address first({0x01, 0xFF, 0, 0, 0, 0}, Address::Public);
  const Address second({0x02, 0x00, 0, 0, 0, 0}, Address::Public);
  EXPECT_EQ(first.ToString(), "00:00:00:00:ff:01");
  EXPECT_EQ(second.ToString(), "00:00:00:00:00:02");
  EXPECT_TRUE(first < second);
  EXPECT_FALSE(second < first);
  EXPECT_FALSE(first == second);
}

TEST(AddressTest, BytesCompareUnsigned) {
  EXPECT_TRUE(Address({0x7F, 0, 0, 0, 0, 0}, Address::Public) < Address({0x80, 0, 0, 0, 0, 0}, Address::Public));
  EXPECT_TRUE(Address({0, 0, 0, 0, 0, 0x01}, Address::Public) < Address({0, 0, 0, 0, 0, 0xFF}, Address::Public));
}

TEST(AddressTest, MapKeyedByAddressMergesTypes) {
  std::map<Address, int> seen;
  seen[Address({9, 8, 7, 6, 5, 4}, Address::Public)] = 1;
  seen[Address({9, 8, 7, 6, 5, 4}, Address::Random)] = 2;
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen.begin()->second, 2);
}

TEST(ToStringTest, EveryByteIsTwoLowerCaseDigitsAndASpace) {
  EXPECT_EQ(ToString({0x0A, 0xFF}), "0a ff ");
  EXPECT_EQ(ToString({0x00, 0x1F}), "00 1f ");
  EXPECT_EQ(ToString({}), "");
  EXPECT_EQ(ToString({0x80}), "80 ");
}

}  // namespace
}  // namespace lumen
