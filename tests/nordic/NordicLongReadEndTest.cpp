// Values of exactly 22 * k bytes: after the last full chunk the backend reads
// once more at the offset right past the end, and servers refuse that read in
// different ways. All of them mean the value is complete.
#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

constexpr uint16_t kNotSupportedAtEnd = 3;  // 44 bytes; the read at 44 gets REQUEST_NOT_SUPPORTED
constexpr uint16_t kNotPermittedAtEnd = 5;  // 22 bytes; the read at 22 gets READ_NOT_PERMITTED
constexpr uint16_t kRefusedAtStart = 7;     // refused at offset 0: nothing was read

std::string EndRefusingScenario() {
  return R"({"peripherals": [{
  "name": "phone", "address": "c4:10:20:30:40:50", "address_type": "random",
  "adv_interval_ms": 100, "adv_data": {"flags": 6}, "rssi": -55,
  "gatt": [{"uuid": "180a", "characteristics": [
    {"uuid": "2a29", "properties": ["read"],
     "value": "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b"},
    {"uuid": "2a24", "properties": ["read"], "value": "303132333435363738393a3b3c3d3e3f404142434445"},
    {"uuid": "2a25", "properties": ["read"], "value": "01"}
  ]}],
  "behaviours": [
    {"on": "read", "characteristic": "2a29", "status": 262, "at": "end", "times": 1000},
    {"on": "read", "characteristic": "2a24", "status": 258, "at": "end", "times": 1000},
    {"on": "read", "characteristic": "2a25", "status": 258, "times": 1000}
  ]
}]})";
}

class NordicLongReadEndTest : public NordicSimTest {
 protected:
  void SetUp() override {
    OpenBoard(EndRefusingScenario());
    m_h = ConnectPhone();
  }

  details::DeviceConnectionHandle m_h;
};

TEST_F(NordicLongReadEndTest, ValueOfWholeChunksIsReturnedWhenTheReadPastItsEndIsRefused) {
  const size_t readsBefore = CountCalls("sd_ble_gattc_read");
  const std::vector<uint8_t> fortyFour = Sdk().ReadLong(m_h, kNotSupportedAtEnd);
  ASSERT_EQ(fortyFour.size(), 44u);
  for (size_t i = 0; i < fortyFour.size(); ++i) {
    EXPECT_EQ(fortyFour[i], i);
  }
  EXPECT_EQ(CountCalls("sd_ble_gattc_read"), readsBefore + 3);  // 0, 22, and the refused 44
  EXPECT_TRUE(m_log.Has(Logger::WARNING,
                        "BLE_GATTC_EVT_READ_RSP has non-success status  0x0106 "
                        "BLE_GATT_STATUS_ATTERR_REQUEST_NOT_SUPPORTED"));

  const std::vector<uint8_t> twentyTwo = Sdk().ReadByHandle(m_h, kNotPermittedAtEnd);
  ASSERT_EQ(twentyTwo.size(), 22u);
  EXPECT_EQ(twentyTwo.front(), 0x30);
  EXPECT_EQ(twentyTwo.back(), 0x45);
  EXPECT_TRUE(m_h.IsConnected());
}

TEST_F(NordicLongReadEndTest, RefusalOfTheFirstReadIsStillAnError) {
  try {
    Sdk().ReadLong(m_h, kRefusedAtStart);
    FAIL() << "read succeeded";
  } catch (const details::NordicLibError& e) {
    EXPECT_EQ(e.code(), details::kErrorGeneral);
    EXPECT_EQ(std::string(e.what()),
              "sd_ble_gattc_read event gave unsuccessful status 0x0102 BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED "
              "(Error: 36865) : Unknown error");
  }
  EXPECT_TRUE(m_h.IsConnected());
}

}  // namespace
}  // namespace lumen::testing
