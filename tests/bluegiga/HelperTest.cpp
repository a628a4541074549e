#include "lumen/BluegigaHelper.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "bluegiga/BgApi.h"
#include "core/BluetoothSDK.h"
#include "lumen/Errors.h"

namespace lumen::details::bglib {
namespace {

std::string ErrorText(const std::vector<uint8_t>& bytes) {
  try {
    Helper::LittleEndianBytesToUuid(bytes);
  } catch (const KesBluetoothSDKLibError& e) {
    EXPECT_EQ(e.code(), kErrorGeneral);
    return e.what();
  }
  return "no exception";
}

TEST(HelperTest, ShortUuidsAreReadLittleEndian) {
  EXPECT_EQ(Helper::LittleEndianBytesToUuid({0x0D, 0x18}), Uuid(uint16_t{0x180D}));
  EXPECT_EQ(Helper::LittleEndianBytesToUuid({0x78, 0x56, 0x34, 0x12}), Uuid(uint32_t{0x12345678}));
}

TEST(HelperTest, LongUuidBytesAreReversed) {
  const std::vector<uint8_t> received{0x54, 0xDC, 0x3A, 0x11, 0x9F, 0x2E, 0x47, 0x80,
                                      0x61, 0x4B, 0xC2, 0x05, 0xE8, 0x77, 0x19, 0x0B};
  const Uuid uuid = Helper::LittleEndianBytesToUuid(received);
  ASSERT_EQ(uuid.size(), 16u);
  EXPECT_EQ(uuid.bytes()[0], 0x0B);
  EXPECT_EQ(uuid.bytes()[15], 0x54);
  EXPECT_EQ(uuid.ToString(), "0b1977e8-05c2-4b61-8047-2e9f113adc54");
  EXPECT_EQ(Helper::LittleEndianBytesToUuid(received.data(), received.size()), uuid);
}

TEST(HelperTest, OnlyTwoFourAndSixteenBytesMakeAUuid) {
  EXPECT_EQ(ErrorText({1, 2, 3}), "invalid uuid data size 3");
  EXPECT_NE(ErrorText({}), "no exception");
  EXPECT_EQ(ErrorText(std::vector<uint8_t>(17, 0)), "invalid uuid data size 17");
  try {
    Helper::LittleEndianBytesToUuid(nullptr, 2);
    FAIL() << "no exception";
  } catch (const KesBluetoothSDKLibError& e) {
    EXPECT_STREQ(e.what(), "invalid uuid data format - NULL");
  }
  EXPECT_THROW(Helper::BgUuidToUuid(nullptr), KesBluetoothSDKLibError);
}

TEST(HelperTest, UuidOfAReceivedArrayUsesItsLengthByte) {
  const uint8_t payload[] = {0x02, 0x00, 0x28, 0xFF};  // length 2, then 0x2800, then an unrelated byte
  const auto* array = reinterpret_cast<const uint8array*>(payload);
  EXPECT_EQ(Helper::BgUuidToUuid(array), Uuid(uint16_t{0x2800}));
}

TEST(HelperTest, AddressSurvivesTheRoundTripThroughTheRecord) {
  const Address random({0x01, 0x02, 0x03, 0x04, 0x05, 0xC6}, Address::Random);
  bd_addr_t record{};
  const uint8_t type = Helper::BgAddrFromAddress(random, &record);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(std::vector<uint8_t>(record.addr, record.addr + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 0xC6}));
  const Address back = Helper::BgAddrToAddress(&record, type);
  EXPECT_EQ(back, random);
  EXPECT_EQ(back.type(), Address::Random);
  EXPECT_EQ(back.ToString(), "c6:05:04:03:02:01");

  const Address publicAddress({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, Address::Public);
  EXPECT_EQ(Helper::BgAddrFromAddress(publicAddress, &record), 0);
  EXPECT_EQ(Helper::BgAddrToAddress(&record, 0).type(), Address::Public);
}

TEST(HelperTest, ServiceListBeforeInitializeFailsWithNotInitialized) {
  ASSERT_FALSE(IsBluetoothSDKInitialized());
  try {
    Helper::GetListOfServices(DeviceConnectionHandle());
    FAIL() << "no exception";
  } catch (const KesBluetoothSDKLibError& e) {
    EXPECT_STREQ(e.what(), "BluetoothSDK not initialized");
    EXPECT_EQ(e.code(), kErrorGeneral);
  }
}

}  // namespace
}  // namespace lumen::details::bglib
