// Faults a scenario file scripts for the board, as a program that cannot reach
// the board's fault calls meets them: reads answered with a GATT status, and
// driver calls the board takes but never completes.
#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

// Handles in declaration order: service 1, then declaration and value of each characteristic.
constexpr uint16_t kReadable = 3;  // 2a38
constexpr uint16_t kOther = 5;     // 2a19
constexpr uint16_t kWritable = 7;  // 2a39

std::string ScriptedScenario(const std::string& behaviours, const std::string& nordic = "{}") {
  return R"({"radio": {"nordic": )" + nordic + R"(},
  "peripherals": [{"name": "phone", "address": "c4:10:20:30:40:50", "address_type": "random",
    "adv_data": {"flags": 6},
    "gatt": [{"uuid": "180d", "characteristics": [
      {"uuid": "2a38", "properties": ["read"], "value": "01"},
      {"uuid": "2a19", "properties": ["read"], "value": "5a"},
      {"uuid": "2a39", "properties": ["read", "write"], "value": "00"}]}],
    "behaviours": )" +
         behaviours + "}]}";
}

class NordicScriptedFaultTest : public NordicSimTest {
 protected:
  // The library's exception for a read, or an empty text when the read succeeded with `expected`.
  std::string ReadFailure(details::DeviceConnectionHandle h, uint16_t handle, const std::vector<uint8_t>& expected) {
    try {
      const std::vector<uint8_t> value = Sdk().ReadLong(h, handle);
      EXPECT_EQ(value, expected);
      return "";
    } catch (const details::NordicLibError& e) {
      EXPECT_EQ(e.code(), details::kErrorGeneral);
      return e.what();
    }
  }

  sim::Bytes ValueOnThePeer(uint16_t handle) { return Board().Database("phone")->Find(handle)->value; }
};

TEST_F(NordicScriptedFaultTest, ReadsBetweenSkipAndTimesFailWithTheStatusAcrossLinks) {
  OpenBoard(ScriptedScenario(R"([{"on": "read", "characteristic": "2a38", "status": 258, "skip": 1, "times": 2}])"));
  details::DeviceConnectionHandle h = ConnectPhone();
  EXPECT_EQ(ReadFailure(h, kReadable, {0x01}), "");
  EXPECT_NE(ReadFailure(h, kReadable, {}).find("BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED"), std::string::npos);
  EXPECT_TRUE(h.IsConnected()) << "a failed read leaves the link up";
  EXPECT_EQ(ReadFailure(h, kOther, {0x5a}), "") << "reads of other characteristics neither fail nor count";

  Sdk().Disconnect(h);
  h = ConnectPhone();
  EXPECT_NE(ReadFailure(h, kReadable, {}).find("BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED"), std::string::npos)
      << "the count goes on over a new link";
  EXPECT_EQ(ReadFailure(h, kReadable, {0x01}), "");
  EXPECT_EQ(Board().CallCount("sd_ble_gattc_read"), 5u);
}

TEST_F(NordicScriptedFaultTest, IgnoredWriteIsNeverAnsweredAndTheWritesAfterItWork) {
  OpenBoard(ScriptedScenario("[]", R"({"ignore_calls": [{"function": "sd_ble_gattc_write", "skip": 1}]})"));
  details::DeviceConnectionHandle h = ConnectPhone();
  Sdk().AttributeWrite(h, kWritable, {0x01});
  EXPECT_EQ(ValueOnThePeer(kWritable), sim::Bytes{0x01});

  // Only this write waits in vain, so only it gets a short wait.
  Sdk().SetTimeouts(0, 200);
  try {
    Sdk().AttributeWrite(h, kWritable, {0x02});
    FAIL() << "the ignored write succeeded";
  } catch (const details::NordicLibError& e) {
    EXPECT_EQ(e.code(), details::kErrorGeneral);
  }
  Sdk().SetTimeouts(0, 10000);
  EXPECT_TRUE(m_log.HasContaining(Logger::INFO, "no Nordic event BLE_GATTC_EVT_WRITE_RSP was received"));
  EXPECT_EQ(ValueOnThePeer(kWritable), sim::Bytes{0x01}) << "the ignored write had no effect";
  EXPECT_FALSE(h.IsConnected()) << "the library gives up the link";

  h = ConnectPhone();
  Sdk().AttributeWrite(h, kWritable, {0x03});
  EXPECT_EQ(ValueOnThePeer(kWritable), sim::Bytes{0x03});
  EXPECT_EQ(Board().CallCount("sd_ble_gattc_write"), 3u);
}

TEST_F(NordicScriptedFaultTest, BoardRefusesAScenarioNamingWhatItDoesNotHave) {
  sim::SetNrf52BoardOptions({sim::SimClock::Mode::kManual});
  {
    ScenarioOnDisk unknownFunction(
        ScriptedScenario("[]", R"({"ignore_calls": [{"function": "sd_ble_gattc_writ", "times": 1}]})"));
    EXPECT_FALSE(Initialize(unknownFunction.Path(), 0, NordicNRF52, false));
  }
  EXPECT_TRUE(m_log.HasContaining(Logger::ERROR, "$.radio.nordic.ignore_calls[0].function"));
  UnInitialize();
  {
    ScenarioOnDisk unknownCharacteristic(
        ScriptedScenario(R"([{"on": "read", "characteristic": "2a37", "status": 258}])"));
    EXPECT_FALSE(Initialize(unknownCharacteristic.Path(), 0, NordicNRF52, false));
  }
  EXPECT_TRUE(m_log.HasContaining(Logger::ERROR, "$.peripherals[0].behaviours[0].characteristic"));
}

}  // namespace
}  // namespace lumen::testing
