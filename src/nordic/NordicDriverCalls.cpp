#include "nordic/NordicDriverCalls.h"

#include <cstdio>

#include "ble.h"
#include "nordic/NordicStatusNames.h"

namespace lumen::Nordic {

std::mutex& DriverCallMutex() {
  static auto* mutex = new std::mutex;  // never destroyed, like the instance list
  return *mutex;
}

std::string ErrorText(uint32_t code) { return NordicStatusName(code); }

CallArguments& CallArguments::Add(const char* name, const std::string& value) {
  if (!m_text.empty()) {
    m_text += ", ";
  }
  m_text += name;
  m_text += '=';
  m_text += value;
  return *this;
}

CallArguments& CallArguments::Add(const char* name, uint64_t value) { return Add(name, std::to_string(value)); }

CallArguments& CallArguments::AddHex(const char* name, uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return Add(name, text);
}

CallArguments& CallArguments::AddBytes(const char* name, const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0xF];
  }
  return Add(name, hex);
}

std::string ScanArguments(const ble_gap_scan_params_t* params) {
  if (params == nullptr) {
    return "p_scan_params=NULL";
  }
  return CallArguments()
      .Add("active", params->active)
      .Add("interval", params->interval)
      .Add("window", params->window)
      .Add("timeout", params->timeout)
      .Text();
}

std::string AddressText(const ble_gap_addr_t& address) {
  char text[40];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x/%u", address.addr[5], address.addr[4],
                address.addr[3], address.addr[2], address.addr[1], address.addr[0],
                static_cast<unsigned>(address.addr_type));
  return text;
}

#define LUMEN_EVENT_NAME(id) \
  case id:                   \
    return #id;

const char* EventName(uint16_t id) {
  switch (id) {
    LUMEN_EVENT_NAME(BLE_EVT_USER_MEM_REQUEST)
    LUMEN_EVENT_NAME(BLE_EVT_USER_MEM_RELEASE)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_CONNECTED)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_DISCONNECTED)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_CONN_PARAM_UPDATE)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_SEC_PARAMS_REQUEST)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_SEC_INFO_REQUEST)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_PASSKEY_DISPLAY)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_KEY_PRESSED)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_AUTH_KEY_REQUEST)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_LESC_DHKEY_REQUEST)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_AUTH_STATUS)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_CONN_SEC_UPDATE)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_TIMEOUT)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_RSSI_CHANGED)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_ADV_REPORT)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_SEC_REQUEST)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_SCAN_REQ_REPORT)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_PHY_UPDATE_REQUEST)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_PHY_UPDATE)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_DATA_LENGTH_UPDATE)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_QOS_CHANNEL_SURVEY_REPORT)
    LUMEN_EVENT_NAME(BLE_GAP_EVT_ADV_SET_TERMINATED)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_REL_DISC_RSP)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_CHAR_DISC_RSP)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_DESC_DISC_RSP)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_ATTR_INFO_DISC_RSP)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_CHAR_VAL_BY_UUID_READ_RSP)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_READ_RSP)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_CHAR_VALS_READ_RSP)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_WRITE_RSP)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_HVX)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_EXCHANGE_MTU_RSP)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_TIMEOUT)
    LUMEN_EVENT_NAME(BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE)
    LUMEN_EVENT_NAME(BLE_GATTS_EVT_WRITE)
    LUMEN_EVENT_NAME(BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST)
    LUMEN_EVENT_NAME(BLE_GATTS_EVT_SYS_ATTR_MISSING)
    LUMEN_EVENT_NAME(BLE_GATTS_EVT_HVC)
    LUMEN_EVENT_NAME(BLE_GATTS_EVT_SC_CONFIRM)
    LUMEN_EVENT_NAME(BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST)
    LUMEN_EVENT_NAME(BLE_GATTS_EVT_TIMEOUT)
    LUMEN_EVENT_NAME(BLE_GATTS_EVT_HVN_TX_COMPLETE)
    default:
      return "";
  }
}

#undef LUMEN_EVENT_NAME

}  // namespace lumen::Nordic
