// Result codes and GATT statuses as the Nordic backend writes them into logs
// and error messages.
#include <gtest/gtest.h>

#include <string>

#include "lumen/NordicLibError.h"
#include "nordic/NordicStatusNames.h"

namespace lumen {
namespace {

using Nordic::GattStatusName;
using Nordic::NordicStatusName;

TEST(NordicStatusNames, EachRangeDecodesItsFirstAndLastCodeAndNothingBeyond) {
  const struct {
    uint32_t code;
    const char* text;
  } cases[] = {
      {0x0000, "0x0000 NRF_SUCCESS"},
      {0x0008, "0x0008 NRF_ERROR_INVALID_STATE"},
      {0x0013, "0x0013 NRF_ERROR_RESOURCES"},
      {0x0014, "0x0014 (error not decoded yet)"},
      {0x3000, "0x3000 (error not decoded yet)"},
      {0x3001, "0x3001 BLE_ERROR_NOT_ENABLED"},
      {0x3006, "0x3006 BLE_ERROR_BLOCKED_BY_OTHER_LINKS"},
      {0x3007, "0x3007 (error not decoded yet)"},
      {0x3200, "0x3200 BLE_ERROR_GAP_UUID_LIST_MISMATCH"},
      {0x3205, "0x3205 BLE_ERROR_GAP_DEVICE_IDENTITIES_DUPLICATE"},
      {0x3206, "0x3206 (error not decoded yet)"},
      {0x3300, "0x3300 BLE_ERROR_GATTC_PROC_NOT_PERMITTED"},
      {0x3301, "0x3301 (error not decoded yet)"},
      {0x3400, "0x3400 BLE_ERROR_GATTS_INVALID_ATTR_TYPE"},
      {0x3401, "0x3401 BLE_ERROR_GATTS_SYS_ATTR_MISSING"},
      {0x8000, "0x8000 (error not decoded yet)"},
      {0x8001, "0x8001 NRF_ERROR_SD_RPC_ENCODE"},
      {0x8006, "0x8006 NRF_ERROR_SD_RPC_INVALID_STATE"},
      {0x8007, "0x8007 (error not decoded yet)"},
      {0x8014, "0x8014 NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT"},
      {0x8016, "0x8016 NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE"},
      {0x8018, "0x8018 NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED"},
      {0x8028, "0x8028 NRF_ERROR_SD_RPC_H5_TRANSPORT"},
      {0x8032, "0x8032 NRF_ERROR_SD_RPC_H5_TRANSPORT_INTERNAL_ERROR"},
      {0x8033, "0x8033 (error not decoded yet)"},
      {0x803C, "0x803c NRF_ERROR_SD_RPC_SERIAL_PORT"},
      {0x8040, "0x8040 NRF_ERROR_SD_RPC_SERIAL_PORT_INTERNAL_ERROR"},
      {0x8041, "0x8041 (error not decoded yet)"},
      {0x9000, "0x9000 (error not decoded yet)"},
      // Only the low 16 bits count.
      {0x10008, "0x0008 NRF_ERROR_INVALID_STATE"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NordicStatusName(c.code), c.text) << std::hex << c.code;
  }
}

TEST(NordicStatusNames, GattStatusesNameTheReservedRangesOnlyAtTheirBounds) {
  const struct {
    uint16_t status;
    const char* text;
  } cases[] = {
      {0x0000, "0x0000 BLE_GATT_STATUS_SUCCESS"},
      {0x0001, "0x0001 BLE_GATT_STATUS_UNKNOWN"},
      {0x0002, "0x0002 (gatt status not decoded yet)"},
      {0x0100, "0x0100 BLE_GATT_STATUS_ATTERR_INVALID"},
      {0x010A, "0x010a BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND"},
      {0x0111, "0x0111 BLE_GATT_STATUS_ATTERR_INSUF_RESOURCES"},
      {0x0112, "0x0112 BLE_GATT_STATUS_ATTERR_RFU_RANGE1_BEGIN"},
      {0x0150, "0x0150 (gatt status not decoded yet)"},
      {0x017F, "0x017f BLE_GATT_STATUS_ATTERR_RFU_RANGE1_END"},
      {0x0180, "0x0180 BLE_GATT_STATUS_ATTERR_APP_BEGIN"},
      {0x0181, "0x0181 (gatt status not decoded yet)"},
      {0x019F, "0x019f BLE_GATT_STATUS_ATTERR_APP_END"},
      {0x01A0, "0x01a0 BLE_GATT_STATUS_ATTERR_RFU_RANGE2_BEGIN"},
      {0x01DF, "0x01df BLE_GATT_STATUS_ATTERR_RFU_RANGE2_END"},
      {0x01E0, "0x01e0 BLE_GATT_STATUS_ATTERR_RFU_RANGE3_BEGIN"},
      {0x01E1, "0x01e1 (gatt status not decoded yet)"},
      {0x01FC, "0x01fc BLE_GATT_STATUS_ATTERR_CPS_WRITE_REQ_REJECTED"},
      {0x01FF, "0x01ff BLE_GATT_STATUS_ATTERR_CPS_OUT_OF_RANGE"},
      {0x0200, "0x0200 (gatt status not decoded yet)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GattStatusName(c.status), c.text) << std::hex << c.status;
  }
}

TEST(NordicLibErrorTest, MessageNamesTheCodeExceptForTheGeneralFailure) {
  const details::NordicLibError closed("Nordic adapter closed", 0x9001);
  EXPECT_STREQ(closed.what(), "Nordic adapter closed (Error: 36865) : Unknown error");
  EXPECT_EQ(closed.code(), 0x9001);

  const details::NordicLibError timeout("Nordic sd_ble_gap_connect failed", 13);
  EXPECT_STREQ(timeout.what(), "Nordic sd_ble_gap_connect failed (Error: 13) : 0x000d NRF_ERROR_TIMEOUT");

  const details::NordicLibError invalidHandle("invalid handle received during sd_ble_gattc_read", 0x9002);
  EXPECT_STREQ(invalidHandle.what(),
               "invalid handle received during sd_ble_gattc_read (Error: 36866) : 0x9002 (error not decoded yet)");

  // Callers catch the library's base error.
  try {
    throw details::NordicLibError("x", 8);
  } catch (const details::KesBluetoothSDKLibError& e) {
    EXPECT_EQ(e.code(), 8);
    EXPECT_STREQ(e.what(), "x (Error: 8) : 0x0008 NRF_ERROR_INVALID_STATE");
  }
}

}  // namespace
}  // namespace lumen
