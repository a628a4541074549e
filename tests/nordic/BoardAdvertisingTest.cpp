// The virtual board's advertising set: configuration rules while advertising
// and what goes on air.
#include "tests/nordic/BoardTestSupport.h"

namespace lumen::test::nrf52 {
namespace {

class BoardAdvertisingTest : public ::testing::Test {
 protected:
  void SetUp() override { session.OpenEnabled(); }

  static ble_gap_adv_params_t Params(uint32_t interval = 160) {
    ble_gap_adv_params_t params{};
    params.properties.type = BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED;
    params.interval = interval;  // 100 ms
    return params;
  }
  static ble_gap_adv_data_t Data(uint8_t* bytes, uint16_t length) {
    ble_gap_adv_data_t data{};
    data.adv_data = {bytes, length};
    return data;
  }

  ScenarioFile file{PhonesScenario()};
  BoardSession session{file.Path()};
};

TEST_F(BoardAdvertisingTest, WhileAdvertisingOnlyNewDataInNewBuffersIsAccepted) {
  adapter_t* adapter = session.Adapter();
  uint8_t first[] = {0x02, 0x01, 0x06};
  uint8_t second[] = {0x03, 0xFF, 0x59, 0x00};
  uint8_t handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  ble_gap_adv_data_t data = Data(first, sizeof(first));
  ble_gap_adv_params_t params = Params();
  EXPECT_EQ(sd_ble_gap_adv_set_configure(adapter, &handle, &data, nullptr),
            static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
  ASSERT_EQ(sd_ble_gap_adv_set_configure(adapter, &handle, &data, &params), NRF_SUCCESS);
  EXPECT_EQ(handle, 0);
  first[2] = 0x04;  // the board keeps its own copy
  ASSERT_EQ(sd_ble_gap_adv_start(adapter, handle, BLE_CONN_CFG_TAG_DEFAULT), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_adv_start(adapter, handle, BLE_CONN_CFG_TAG_DEFAULT),
            static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  session.Advance(200ms);

  EXPECT_EQ(sd_ble_gap_adv_set_configure(adapter, &handle, &data, &params),
            static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  EXPECT_EQ(sd_ble_gap_adv_set_configure(adapter, &handle, &data, nullptr),
            static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  EXPECT_EQ(session.Board().Snapshot().advertising.refusedConfigurations, 3u);
  ble_gap_adv_data_t next = Data(second, sizeof(second));
  ASSERT_EQ(sd_ble_gap_adv_set_configure(adapter, &handle, &next, nullptr), NRF_SUCCESS);
  session.Advance(200ms);

  auto air = session.Board().OnAir();
  ASSERT_EQ(air.size(), 5u);  // at 0, 100, 200, 300 and 400 ms
  EXPECT_EQ(air[0].advData, (Bytes{0x02, 0x01, 0x06}));
  EXPECT_EQ(air[2].advData, (Bytes{0x02, 0x01, 0x06}));
  EXPECT_EQ(air[3].advData, (Bytes{0x03, 0xFF, 0x59, 0x00}));
  EXPECT_EQ(air[3].time - air[2].time, std::chrono::milliseconds(100));
  EXPECT_EQ(air[3].intervalUnits, 160u);

  ASSERT_EQ(sd_ble_gap_adv_stop(adapter, handle), NRF_SUCCESS);
  EXPECT_EQ(sd_ble_gap_adv_stop(adapter, handle), static_cast<uint32_t>(NRF_ERROR_INVALID_STATE));
  // Stopped, new parameters may come with the same buffers.
  ble_gap_adv_params_t slower = Params(320);
  EXPECT_EQ(sd_ble_gap_adv_set_configure(adapter, &handle, &next, &slower), NRF_SUCCESS);
  EXPECT_EQ(session.Board().Snapshot().advertising.intervalUnits, 320u);
}

TEST_F(BoardAdvertisingTest, ConfigurationIsValidated) {
  adapter_t* adapter = session.Adapter();
  uint8_t bytes[32] = {};
  uint8_t handle = 3;
  ble_gap_adv_data_t data = Data(bytes, 3);
  ble_gap_adv_params_t params = Params();
  EXPECT_EQ(sd_ble_gap_adv_set_configure(adapter, &handle, &data, &params),
            static_cast<uint32_t>(BLE_ERROR_INVALID_ADV_HANDLE));
  handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  params.interval = 0x1F;
  EXPECT_EQ(sd_ble_gap_adv_set_configure(adapter, &handle, &data, &params),
            static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
  params = Params();
  data.scan_rsp_data = {bytes, 3};  // non-scannable with a scan response
  EXPECT_EQ(sd_ble_gap_adv_set_configure(adapter, &handle, &data, &params),
            static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM));
  data = Data(bytes, 32);
  EXPECT_EQ(sd_ble_gap_adv_set_configure(adapter, &handle, &data, &params),
            static_cast<uint32_t>(NRF_ERROR_INVALID_LENGTH));
  EXPECT_FALSE(session.Board().Snapshot().advertising.configured);
  EXPECT_EQ(sd_ble_gap_tx_power_set(adapter, BLE_GAP_TX_POWER_ROLE_ADV, 0, 0),
            static_cast<uint32_t>(BLE_ERROR_INVALID_ADV_HANDLE));
  EXPECT_EQ(sd_ble_gap_adv_start(adapter, 0, BLE_CONN_CFG_TAG_DEFAULT),
            static_cast<uint32_t>(BLE_ERROR_INVALID_ADV_HANDLE));
}

}  // namespace
}  // namespace lumen::test::nrf52
