#include <gtest/gtest.h>

#include <filesystem>

#include "sim/GattDatabase.h"
#include "sim/Scenario.h"

namespace lumen::sim {
namespace {

std::string ErrorOf(std::string_view json) {
  try {
    Scenario::FromJson(json);
  } catch (const ScenarioError& e) {
    return e.what();
  }
  return "";
}

TEST(SimScenarioTest, ShippedScenariosLoadAndBuildTheirAttributeTables) {
  size_t loaded = 0;
  for (const auto& entry : std::filesystem::directory_iterator(LUMEN_SIM_SCENARIO_DIR)) {
    if (entry.path().extension() != ".json") continue;
    SCOPED_TRACE(entry.path().string());
    Scenario scenario = Scenario::FromFile(entry.path().string());
    EXPECT_FALSE(scenario.peripherals.empty());
    for (const Peripheral& peripheral : scenario.peripherals) EXPECT_NO_THROW(GattDatabase{peripheral.gatt});
    ++loaded;
  }
  EXPECT_GE(loaded, 3u);
}

TEST(SimScenarioTest, AddressTextIsMostSignificantFirstAndTravelsLeastSignificantFirst) {
  BdAddress address = BdAddress::Parse("aa:bb:cc:dd:ee:ff");
  EXPECT_EQ(address.bytes, (std::array<uint8_t, 6>{0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa}));
  EXPECT_EQ(address.ToString(), "aa:bb:cc:dd:ee:ff");
  EXPECT_THROW(BdAddress::Parse("aa:bb:cc:dd:ee"), std::invalid_argument);
  EXPECT_THROW(BdAddress::Parse("aabbccddeeff00000"), std::invalid_argument);
}

TEST(SimScenarioTest, UuidTextOfEveryWidthTravelsLeastSignificantFirst) {
  EXPECT_EQ(AttUuid::Parse("0x180D").LittleEndian(), Bytes({0x0d, 0x18}));
  AttUuid full = AttUuid::Parse("0000180d-0000-1000-8000-00805f9b34fb");
  EXPECT_EQ(full.Size(), 16u);
  EXPECT_EQ(full.LittleEndian().front(), 0xfb);
  EXPECT_TRUE(full.Matches(AttUuid::From16(0x180d)));
  EXPECT_EQ(full.ToString(), "0000180d-0000-1000-8000-00805f9b34fb");
  EXPECT_THROW(AttUuid::Parse("18d"), std::invalid_argument);
  EXPECT_THROW(AttUuid::Parse("0000180d-0000-1000-8000_00805f9b34fb"), std::invalid_argument);
}

TEST(SimScenarioTest, MistakesAreReportedWithTheirJsonPath) {
  EXPECT_NE(ErrorOf(R"({"peripherals":[{"address":"aa:bb"}]})").find("$.peripherals[0].address"), std::string::npos);
  EXPECT_NE(ErrorOf(R"({"peripherals":[{"address":"aa:bb:cc:dd:ee:ff","adv_intervall_ms":100}]})")
                .find("$.peripherals[0].adv_intervall_ms: unknown key"),
            std::string::npos);
  EXPECT_NE(
      ErrorOf(
          R"({"peripherals":[{"address":"aa:bb:cc:dd:ee:ff","adv_data":{"name":"a name far too long to fit in thirty one bytes"}}]})")
          .find("at most 31"),
      std::string::npos);
  EXPECT_NE(ErrorOf(R"({"radio":{"variant":"usb"}})").find("$.radio.variant"), std::string::npos);
  EXPECT_NE(
      ErrorOf(
          R"({"peripherals":[{"address":"aa:bb:cc:dd:ee:ff","gatt":[{"uuid":"1800","characteristics":[{"uuid":"2a00","properties":["reed"]}]}]}]})")
          .find("properties[0]"),
      std::string::npos);
  EXPECT_NE(ErrorOf("{").find("not valid JSON"), std::string::npos);
  EXPECT_NE(
      ErrorOf(
          R"({"peripherals":[{"name":"x","address":"aa:bb:cc:dd:ee:ff"},{"name":"x","address":"aa:bb:cc:dd:ee:fe"}]})")
          .find("unique"),
      std::string::npos);
}

TEST(SimScenarioTest, ScriptedReadStatusesAndIgnoredCallsCountTheirWindows) {
  Scenario scenario = Scenario::FromJson(R"({
      "radio": {"nordic": {"ignore_calls": [{"function": "sd_ble_gattc_write", "skip": 2, "times": 3},
                                            {"function": "sd_ble_gap_connect"}]}},
      "peripherals": [{"address": "aa:bb:cc:dd:ee:ff",
        "gatt": [{"uuid": "180d", "characteristics": [{"uuid": "2a38"}, {"uuid": "2a39"}]}],
        "behaviours": [{"on": "read", "characteristic": "0x2A38", "status": 258},
                       {"on": "read", "characteristic": "00002a39-0000-1000-8000-00805f9b34fb", "status": 261,
                        "skip": 1, "times": 2}]}]})");
  const auto& ignored = scenario.radio.ignoredCalls;
  ASSERT_EQ(ignored.size(), 2u);
  EXPECT_EQ(ignored[0].function, "sd_ble_gattc_write");
  EXPECT_EQ(ignored[0].skip, 2u);
  EXPECT_EQ(ignored[0].times, 3u);
  EXPECT_EQ(ignored[1].skip, 0u);
  EXPECT_EQ(ignored[1].times, 1u);

  const Peripheral& peripheral = scenario.peripherals[0];
  std::vector<uint64_t> seen;
  std::vector<std::optional<uint16_t>> first, second;
  for (int i = 0; i < 4; ++i) {
    first.push_back(peripheral.CountRead(AttUuid::From16(0x2a38), seen));
    second.push_back(peripheral.CountRead(AttUuid::From16(0x2a39), seen));
  }
  using Statuses = std::vector<std::optional<uint16_t>>;
  EXPECT_EQ(first, (Statuses{0x0102, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(second, (Statuses{std::nullopt, 0x0105, 0x0105, std::nullopt}));
  EXPECT_EQ(peripheral.CountRead(AttUuid::From16(0x2a00), seen), std::nullopt);
}

TEST(SimScenarioTest, ScriptedFaultsNamingWhatIsNotThereAreReportedWithTheirJsonPath) {
  auto read = [](const std::string& behaviour) {
    return ErrorOf(R"({"peripherals":[{"address":"aa:bb:cc:dd:ee:ff",
        "gatt":[{"uuid":"180d","characteristics":[{"uuid":"2a38"}]}],"behaviours":[)" +
                   behaviour + "]}]}");
  };
  EXPECT_NE(read(R"({"on":"read","characteristic":"2a37","status":258})")
                .find("$.peripherals[0].behaviours[0].characteristic: "),
            std::string::npos);
  EXPECT_NE(read(R"({"on":"read","characteristic":"2a38","status":0})").find("$.peripherals[0].behaviours[0].status"),
            std::string::npos);
  EXPECT_NE(read(R"({"on":"read","characteristic":"2a38"})").find("status is required"), std::string::npos);
  EXPECT_NE(read(R"({"on":"read","characteristic":"2a38","status":258,"when":1})")
                .find("$.peripherals[0].behaviours[0].when: unknown key"),
            std::string::npos);

  auto radio = [](const std::string& nordic) { return ErrorOf(R"({"radio":{"nordic":)" + nordic + "}}"); };
  EXPECT_NE(
      radio(R"({"ignore_calls":[{"function":"sd_ble_gattc_writ"}]})").find("$.radio.nordic.ignore_calls[0].function: "),
      std::string::npos);
  EXPECT_NE(radio(R"({"ignore_calls":[{"function":"sd_rpc_open"}]})").find("$.radio.nordic.ignore_calls[0].function"),
            std::string::npos);
  EXPECT_NE(radio(R"({"ignore_calls":[{"function":"sd_ble_gattc_write","skip":-1}]})")
                .find("$.radio.nordic.ignore_calls[0].skip"),
            std::string::npos);
  EXPECT_NE(radio(R"({"ignore_calls":[{"function":"sd_ble_gattc_write","time":1}]})")
                .find("$.radio.nordic.ignore_calls[0].time: unknown key"),
            std::string::npos);
  EXPECT_NE(radio(R"({"ignore_calls":{"function":"sd_ble_gattc_write"}})").find("$.radio.nordic.ignore_calls"),
            std::string::npos);
}

TEST(SimScenarioTest, StructuredAdvertisingDataIsLaidOutInAFixedOrder) {
  Scenario scenario = Scenario::FromJson(R"({"peripherals":[{"address":"aa:bb:cc:dd:ee:ff",
      "adv_data":{"name":"HR","uuids16":["180d"],"flags":6,"tx_power":-4,"manufacturer_data":"4c00"}}]})");
  EXPECT_EQ(ToHex(scenario.peripherals[0].advData), "02 01 06 03 03 0d 18 03 09 48 52 02 0a fc 03 ff 4c 00");
}

TEST(SimScenarioTest, AddressRotatesThroughItsListAndRssiMovesLinearly) {
  Scenario scenario = Scenario::FromJson(R"({"peripherals":[{"address":"4b:00:00:00:00:01","address_type":"random",
      "address_rotation":{"every_s":10,"addresses":["4b:00:00:00:00:02"]},
      "rssi":{"from":-80,"to":-60,"start_s":5,"over_s":20}}]})");
  const Peripheral& p = scenario.peripherals[0];
  EXPECT_EQ(p.AddressAt(9999).ToString(), "4b:00:00:00:00:01");
  EXPECT_EQ(p.AddressAt(10000).ToString(), "4b:00:00:00:00:02");
  EXPECT_EQ(p.AddressAt(20000).ToString(), "4b:00:00:00:00:01");
  EXPECT_EQ(p.rssi.At(0), -80);
  EXPECT_EQ(p.rssi.At(15000), -70);
  EXPECT_EQ(p.rssi.At(60000), -60);

  Scenario generated =
      Scenario::FromJson(R"({"peripherals":[{"address":"4b:00:00:00:00:01","address_rotation":{"every_ms":500}}]})");
  const Peripheral& q = generated.peripherals[0];
  EXPECT_EQ(q.AddressAt(499), q.address);
  EXPECT_NE(q.AddressAt(500), q.address);
  EXPECT_NE(q.AddressAt(1000), q.AddressAt(500));
  EXPECT_EQ(q.AddressAt(500).bytes[5], 0x4b) << "the random-address sub-type bits stay";
}

TEST(SimScenarioTest, AttributeTableGivesDeclarationsValuesAndDescriptorsRisingHandles) {
  Scenario scenario = Scenario::FromJson(R"({"peripherals":[{"address":"aa:bb:cc:dd:ee:ff","gatt":[
      {"uuid":"1800","characteristics":[{"uuid":"2a00","properties":["read"],"value_text":"A"}]},
      {"uuid":"180d","start_handle":16,"characteristics":[
        {"uuid":"2a37","properties":["notify"]},
        {"uuid":"2a39","properties":["write"],"descriptors":[{"uuid":"2901","value_text":"cp"}]}]}]}]})");
  GattDatabase database(scenario.peripherals[0].gatt);
  std::vector<std::pair<uint16_t, std::string>> layout;
  for (const auto& attribute : database.Attributes()) layout.emplace_back(attribute.handle, attribute.type.ToString());
  std::vector<std::pair<uint16_t, std::string>> expected = {{1, "2800"},  {2, "2803"},  {3, "2a00"},  {16, "2800"},
                                                            {17, "2803"}, {18, "2a37"}, {19, "2902"}, {20, "2803"},
                                                            {21, "2a39"}, {22, "2901"}};
  EXPECT_EQ(layout, expected);
  EXPECT_EQ(ToHex(database.Find(17)->value), "10 12 00 37 2a");
  auto groups = database.Groups(AttUuid::From16(0x2800), 1, 0xFFFF);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].end, 3);
  EXPECT_EQ(groups[1].start, 16);
  EXPECT_EQ(groups[1].end, 22);
  EXPECT_EQ(database.Write(18, {0x01}, true), GattDatabase::Access::kWriteNotPermitted);
  EXPECT_EQ(database.Write(19, {0x01}, true), GattDatabase::Access::kInvalidAttributeValueLength);
  EXPECT_EQ(database.Write(19, {0x01, 0x00}, true), GattDatabase::Access::kOk);
  EXPECT_EQ(database.Configuration(18), 1);
  EXPECT_EQ(database.Write(22, {0x01}, true), GattDatabase::Access::kWriteNotPermitted);
  EXPECT_EQ(database.Write(99, {0x01}, true), GattDatabase::Access::kInvalidHandle);

  Scenario overlapping = Scenario::FromJson(R"({"peripherals":[{"address":"aa:bb:cc:dd:ee:ff","gatt":[
      {"uuid":"1800","characteristics":[{"uuid":"2a00"}]},{"uuid":"1801","start_handle":2}]}]})");
  EXPECT_THROW(GattDatabase{overlapping.peripherals[0].gatt}, ScenarioError);
}

}  // namespace
}  // namespace lumen::sim
