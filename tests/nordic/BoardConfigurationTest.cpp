// What sd_ble_cfg_set refuses before sd_ble_enable: values the SoftDevice
// headers rule out.
#include "tests/nordic/BoardTestSupport.h"

namespace lumen::test::nrf52 {
namespace {

TEST(BoardConfigurationTest, InvalidValuesAreRefusedAndLeaveTheDefaults) {
  ScenarioFile file(PhonesScenario());
  BoardSession session(file.Path());
  ASSERT_EQ(session.Open(), NRF_SUCCESS);
  adapter_t* adapter = session.Adapter();
  const auto invalidParam = static_cast<uint32_t>(NRF_ERROR_INVALID_PARAM);

  ble_cfg_t cfg{};
  cfg.gap_cfg.role_count_cfg.adv_set_count = 2;  // one set at most
  cfg.gap_cfg.role_count_cfg.central_role_count = 1;
  EXPECT_EQ(sd_ble_cfg_set(adapter, BLE_GAP_CFG_ROLE_COUNT, &cfg, 0), invalidParam);
  cfg = {};
  cfg.gap_cfg.role_count_cfg.central_role_count = 1;
  cfg.gap_cfg.role_count_cfg.central_sec_count = 2;  // more secured links than links
  EXPECT_EQ(sd_ble_cfg_set(adapter, BLE_GAP_CFG_ROLE_COUNT, &cfg, 0), invalidParam);

  EXPECT_EQ(SetGapConnectionConfiguration(adapter, 0, 6), invalidParam);
  EXPECT_EQ(SetGapConnectionConfiguration(adapter, 1, 1), invalidParam);  // below BLE_GAP_EVENT_LENGTH_MIN

  cfg = {};
  cfg.conn_cfg.conn_cfg_tag = 1;
  cfg.conn_cfg.params.gatt_conn_cfg.att_mtu = 22;  // below the default
  EXPECT_EQ(sd_ble_cfg_set(adapter, BLE_CONN_CFG_GATT, &cfg, 0), invalidParam);
  cfg.conn_cfg.params.gatt_conn_cfg.att_mtu = 248;  // above what the SoftDevice supports
  EXPECT_EQ(sd_ble_cfg_set(adapter, BLE_CONN_CFG_GATT, &cfg, 0), invalidParam);

  EXPECT_EQ(sd_ble_cfg_set(adapter, BLE_GAP_CFG_ROLE_COUNT, nullptr, 0), static_cast<uint32_t>(NRF_ERROR_INVALID_ADDR));

  uint32_t ramBase = 0;
  ASSERT_EQ(sd_ble_enable(adapter, &ramBase), NRF_SUCCESS);
  const auto snapshot = session.Board().Snapshot();
  EXPECT_FALSE(snapshot.configuration.centralRoleCount.has_value());
  EXPECT_FALSE(snapshot.configuration.advSetCount.has_value());
  EXPECT_FALSE(snapshot.configuration.connCount.has_value());
  EXPECT_FALSE(snapshot.configuration.attMtu.has_value());
}

}  // namespace
}  // namespace lumen::test::nrf52
