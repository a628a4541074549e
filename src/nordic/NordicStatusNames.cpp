#include "nordic/NordicStatusNames.h"

#include <array>
#include <cstdio>
#include <span>

namespace lumen::Nordic {

namespace {

// Consecutive codes from `first`, one name each.
struct NameRun {
  uint16_t first;
  std::span<const char* const> names;
};

constexpr const char* kNrfErrors[] = {
    "NRF_SUCCESS",
    "NRF_ERROR_SVC_HANDLER_MISSING",
    "NRF_ERROR_SOFTDEVICE_NOT_ENABLED",
    "NRF_ERROR_INTERNAL",
    "NRF_ERROR_NO_MEM",
    "NRF_ERROR_NOT_FOUND",
    "NRF_ERROR_NOT_SUPPORTED",
    "NRF_ERROR_INVALID_PARAM",
    "NRF_ERROR_INVALID_STATE",
    "NRF_ERROR_INVALID_LENGTH",
    "NRF_ERROR_INVALID_FLAGS",
    "NRF_ERROR_INVALID_DATA",
    "NRF_ERROR_DATA_SIZE",
    "NRF_ERROR_TIMEOUT",
    "NRF_ERROR_NULL",
    "NRF_ERROR_FORBIDDEN",
    "NRF_ERROR_INVALID_ADDR",
    "NRF_ERROR_BUSY",
    "NRF_ERROR_CONN_COUNT",
    "NRF_ERROR_RESOURCES",
};
constexpr const char* kBleErrors[] = {
    "BLE_ERROR_NOT_ENABLED",        "BLE_ERROR_INVALID_CONN_HANDLE", "BLE_ERROR_INVALID_ATTR_HANDLE",
    "BLE_ERROR_INVALID_ADV_HANDLE", "BLE_ERROR_INVALID_ROLE",        "BLE_ERROR_BLOCKED_BY_OTHER_LINKS",
};
constexpr const char* kGapErrors[] = {
    "BLE_ERROR_GAP_UUID_LIST_MISMATCH",       "BLE_ERROR_GAP_DISCOVERABLE_WITH_WHITELIST",
    "BLE_ERROR_GAP_INVALID_BLE_ADDR",         "BLE_ERROR_GAP_WHITELIST_IN_USE",
    "BLE_ERROR_GAP_DEVICE_IDENTITIES_IN_USE", "BLE_ERROR_GAP_DEVICE_IDENTITIES_DUPLICATE",
};
constexpr const char* kGattcErrors[] = {"BLE_ERROR_GATTC_PROC_NOT_PERMITTED"};
constexpr const char* kGattsErrors[] = {"BLE_ERROR_GATTS_INVALID_ATTR_TYPE", "BLE_ERROR_GATTS_SYS_ATTR_MISSING"};
constexpr const char* kRpcErrors[] = {
    "NRF_ERROR_SD_RPC_ENCODE",           "NRF_ERROR_SD_RPC_DECODE",      "NRF_ERROR_SD_RPC_SEND",
    "NRF_ERROR_SD_RPC_INVALID_ARGUMENT", "NRF_ERROR_SD_RPC_NO_RESPONSE", "NRF_ERROR_SD_RPC_INVALID_STATE",
};
constexpr const char* kSerializationErrors[] = {
    "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT",
    "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_INVALID_STATE",
    "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE",
    "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_OPEN",
    "NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED",
};
constexpr const char* kH5Errors[] = {
    "NRF_ERROR_SD_RPC_H5_TRANSPORT",
    "NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE",
    "NRF_ERROR_SD_RPC_H5_TRANSPORT_NO_RESPONSE",
    "NRF_ERROR_SD_RPC_H5_TRANSPORT_SLIP_PAYLOAD_SIZE",
    "NRF_ERROR_SD_RPC_H5_TRANSPORT_SLIP_CALCULATED_PAYLOAD_SIZE",
    "NRF_ERROR_SD_RPC_H5_TRANSPORT_SLIP_DECODING",
    "NRF_ERROR_SD_RPC_H5_TRANSPORT_HEADER_CHECKSUM",
    "NRF_ERROR_SD_RPC_H5_TRANSPORT_PACKET_CHECKSUM",
    "NRF_ERROR_SD_RPC_H5_TRANSPORT_ALREADY_OPEN",
    "NRF_ERROR_SD_RPC_H5_TRANSPORT_ALREADY_CLOSED",
    "NRF_ERROR_SD_RPC_H5_TRANSPORT_INTERNAL_ERROR",
};
constexpr const char* kSerialPortErrors[] = {
    "NRF_ERROR_SD_RPC_SERIAL_PORT",
    "NRF_ERROR_SD_RPC_SERIAL_PORT_STATE",
    "NRF_ERROR_SD_RPC_SERIAL_PORT_ALREADY_OPEN",
    "NRF_ERROR_SD_RPC_SERIAL_PORT_ALREADY_CLOSED",
    "NRF_ERROR_SD_RPC_SERIAL_PORT_INTERNAL_ERROR",
};

constexpr std::array kStatusRuns = {
    NameRun{0x0000, kNrfErrors},           NameRun{0x3001, kBleErrors},   NameRun{0x3200, kGapErrors},
    NameRun{0x3300, kGattcErrors},         NameRun{0x3400, kGattsErrors}, NameRun{0x8001, kRpcErrors},
    NameRun{0x8014, kSerializationErrors}, NameRun{0x8028, kH5Errors},    NameRun{0x803C, kSerialPortErrors},
};

constexpr const char* kGattBasic[] = {"BLE_GATT_STATUS_SUCCESS", "BLE_GATT_STATUS_UNKNOWN"};
constexpr const char* kGattAttErrors[] = {
    "BLE_GATT_STATUS_ATTERR_INVALID",
    "BLE_GATT_STATUS_ATTERR_INVALID_HANDLE",
    "BLE_GATT_STATUS_ATTERR_READ_NOT_PERMITTED",
    "BLE_GATT_STATUS_ATTERR_WRITE_NOT_PERMITTED",
    "BLE_GATT_STATUS_ATTERR_INVALID_PDU",
    "BLE_GATT_STATUS_ATTERR_INSUF_AUTHENTICATION",
    "BLE_GATT_STATUS_ATTERR_REQUEST_NOT_SUPPORTED",
    "BLE_GATT_STATUS_ATTERR_INVALID_OFFSET",
    "BLE_GATT_STATUS_ATTERR_INSUF_AUTHORIZATION",
    "BLE_GATT_STATUS_ATTERR_PREPARE_QUEUE_FULL",
    "BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_FOUND",
    "BLE_GATT_STATUS_ATTERR_ATTRIBUTE_NOT_LONG",
    "BLE_GATT_STATUS_ATTERR_INSUF_ENC_KEY_SIZE",
    "BLE_GATT_STATUS_ATTERR_INVALID_ATT_VAL_LENGTH",
    "BLE_GATT_STATUS_ATTERR_UNLIKELY_ERROR",
    "BLE_GATT_STATUS_ATTERR_INSUF_ENCRYPTION",
    "BLE_GATT_STATUS_ATTERR_UNSUPPORTED_GROUP_TYPE",
    "BLE_GATT_STATUS_ATTERR_INSUF_RESOURCES",
};
// The reserved and application ranges are named only at their bounds.
constexpr const char* kGattRfu1Begin[] = {"BLE_GATT_STATUS_ATTERR_RFU_RANGE1_BEGIN"};
constexpr const char* kGattRfu1End[] = {"BLE_GATT_STATUS_ATTERR_RFU_RANGE1_END"};
constexpr const char* kGattAppBegin[] = {"BLE_GATT_STATUS_ATTERR_APP_BEGIN"};
constexpr const char* kGattAppEnd[] = {"BLE_GATT_STATUS_ATTERR_APP_END"};
constexpr const char* kGattRfu2Begin[] = {"BLE_GATT_STATUS_ATTERR_RFU_RANGE2_BEGIN"};
constexpr const char* kGattRfu2End[] = {"BLE_GATT_STATUS_ATTERR_RFU_RANGE2_END"};
constexpr const char* kGattRfu3Begin[] = {"BLE_GATT_STATUS_ATTERR_RFU_RANGE3_BEGIN"};
constexpr const char* kGattCps[] = {
    "BLE_GATT_STATUS_ATTERR_CPS_WRITE_REQ_REJECTED",
    "BLE_GATT_STATUS_ATTERR_CPS_CCCD_CONFIG_ERROR",
    "BLE_GATT_STATUS_ATTERR_CPS_PROC_ALR_IN_PROG",
    "BLE_GATT_STATUS_ATTERR_CPS_OUT_OF_RANGE",
};

constexpr std::array kGattRuns = {
    NameRun{0x0000, kGattBasic},     NameRun{0x0100, kGattAttErrors}, NameRun{0x0112, kGattRfu1Begin},
    NameRun{0x017F, kGattRfu1End},   NameRun{0x0180, kGattAppBegin},  NameRun{0x019F, kGattAppEnd},
    NameRun{0x01A0, kGattRfu2Begin}, NameRun{0x01DF, kGattRfu2End},   NameRun{0x01E0, kGattRfu3Begin},
    NameRun{0x01FC, kGattCps},
};

template <size_t N>
std::string Describe(uint16_t code, const std::array<NameRun, N>& runs, const char* fallback) {
  const char* name = fallback;
  for (const NameRun& run : runs) {
    if (code >= run.first && static_cast<size_t>(code - run.first) < run.names.size()) {
      name = run.names[static_cast<size_t>(code - run.first)];
      break;
    }
  }
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%04x", static_cast<unsigned>(code));
  return std::string(hex) + " " + name;
}

}  // namespace

std::string NordicStatusName(uint32_t code) {
  return Describe(static_cast<uint16_t>(code & 0xFFFFu), kStatusRuns, "(error not decoded yet)");
}

std::string GattStatusName(uint16_t status) { return Describe(status, kGattRuns, "(gatt status not decoded yet)"); }

}  // namespace lumen::Nordic
