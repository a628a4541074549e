#include <gtest/gtest.h>

#include "bluegiga/BluegigaBluetoothSDK.h"
#include "lumen/BGLibError.h"
#include "support/LogCapture.h"

namespace lumen::details {
namespace {

std::vector<AttHandleItem> Attributes(const DeviceConnectionHandle& h,
                                      std::initializer_list<std::pair<uint16_t, uint16_t>> handleAndUuid) {
  std::vector<AttHandleItem> items;
  for (const auto& [handle, uuid] : handleAndUuid) {
    items.push_back(AttHandleItem{h, handle, Uuid(uuid)});
  }
  return items;
}

TEST(GroupCharacteristics, KeepsTheValueHandleOfEachDeclaration) {
  testing::LogCapture log;
  DeviceConnectionHandle h;
  const auto grouped = BluegigaBluetoothSDK::GroupCharacteristics(
      Attributes(h, {{1, 0x2800}, {2, 0x2803}, {3, 0x2A37}, {4, 0x2902}, {5, 0x2803}, {6, 0x2A38}}));
  ASSERT_EQ(grouped.size(), 2U);
  EXPECT_EQ(grouped[0].attHandle, 3);
  EXPECT_EQ(grouped[0].uuid, Uuid(uint16_t{0x2A37}));
  EXPECT_EQ(grouped[1].attHandle, 6);
  EXPECT_EQ(grouped[1].uuid, Uuid(uint16_t{0x2A38}));
  EXPECT_EQ(grouped[0].handle, h);
  EXPECT_TRUE(log.HasContaining(Logger::DEBUG, "characteristic has #elements = 3"));
  EXPECT_TRUE(log.HasContaining(Logger::DEBUG, "final characteristic has #elements = 2"));
}

TEST(GroupCharacteristics, LoneTrailingDeclarationThrows) {
  DeviceConnectionHandle h;
  EXPECT_THROW(BluegigaBluetoothSDK::GroupCharacteristics(Attributes(h, {{2, 0x2803}, {3, 0x2A37}, {4, 0x2803}})),
               BGLibError);
}

TEST(GroupCharacteristics, DeclarationFollowedByDeclarationThrows) {
  DeviceConnectionHandle h;
  try {
    BluegigaBluetoothSDK::GroupCharacteristics(Attributes(h, {{2, 0x2803}, {3, 0x2803}, {4, 0x2A37}}));
    FAIL();
  } catch (const BGLibError& e) {
    EXPECT_NE(std::string(e.what()).find("Expect each characteristic to have two handles"), std::string::npos);
  }
}

TEST(GroupCharacteristics, EmptyAndDeclarationFreeListsGiveNothing) {
  DeviceConnectionHandle h;
  EXPECT_TRUE(BluegigaBluetoothSDK::GroupCharacteristics({}).empty());
  EXPECT_TRUE(BluegigaBluetoothSDK::GroupCharacteristics(Attributes(h, {{1, 0x2800}, {2, 0x2A00}})).empty());
}

}  // namespace
}  // namespace lumen::details
