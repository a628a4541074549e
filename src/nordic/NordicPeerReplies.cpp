#include "core/Log.h"
#include "nordic/NordicDriverCalls.h"
#include "nordic/NordicImpl.h"

namespace lumen::Nordic {

using details::kWarning;
using details::Log;

// Peers wait for these answers and drop the link when none comes (phones
// after some 30 to 40 seconds). They are sent from the event thread with the
// callback's adapter, without the driver-call lock: a waiting operation holds
// that lock while it waits for this thread.
void NordicBluetoothSDK::Impl::ReplyToPeerRequest(adapter_t* adapter, const ble_evt_t& event) {
  const char* call = "";
  uint32_t result = NRF_SUCCESS;
  switch (event.header.evt_id) {
    case BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST: {
      const uint16_t handle = event.evt.gap_evt.conn_handle;
      const ble_gap_conn_params_t requested = event.evt.gap_evt.params.conn_param_update_request.conn_params;
      call = "sd_ble_gap_conn_param_update";
      result = EventThreadDriverCall(call, [&] { return sd_ble_gap_conn_param_update(adapter, handle, &requested); });
      break;
    }
    case BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST: {
      const uint16_t handle = event.evt.gap_evt.conn_handle;
      call = "sd_ble_gap_data_length_update";
      result =
          EventThreadDriverCall(call, [&] { return sd_ble_gap_data_length_update(adapter, handle, nullptr, nullptr); });
      break;
    }
    case BLE_GAP_EVT_PHY_UPDATE_REQUEST: {
      const uint16_t handle = event.evt.gap_evt.conn_handle;
      const ble_gap_phys_t phys{BLE_GAP_PHY_AUTO, BLE_GAP_PHY_AUTO};
      call = "sd_ble_gap_phy_update";
      result = EventThreadDriverCall(call, [&] { return sd_ble_gap_phy_update(adapter, handle, &phys); });
      break;
    }
    case BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST: {
      // The default MTU keeps every read at 22 bytes a chunk.
      const uint16_t handle = event.evt.gatts_evt.conn_handle;
      call = "sd_ble_gatts_exchange_mtu_reply";
      result = EventThreadDriverCall(
          call, [&] { return sd_ble_gatts_exchange_mtu_reply(adapter, handle, BLE_GATT_ATT_MTU_DEFAULT); });
      break;
    }
    case BLE_GATTS_EVT_SYS_ATTR_MISSING: {
      const uint16_t handle = event.evt.gatts_evt.conn_handle;
      call = "sd_ble_gatts_sys_attr_set";
      result = EventThreadDriverCall(call, [&] { return sd_ble_gatts_sys_attr_set(adapter, handle, nullptr, 0, 0); });
      break;
    }
    case BLE_EVT_USER_MEM_REQUEST: {
      const uint16_t handle = event.evt.common_evt.conn_handle;
      call = "sd_ble_user_mem_reply";
      result = EventThreadDriverCall(call, [&] { return sd_ble_user_mem_reply(adapter, handle, nullptr); });
      break;
    }
    default:
      return;
  }
  if (result != NRF_SUCCESS) {
    Log(kWarning, std::string(call) + " failed in reply to the peer: " + ErrorText(result));
  }
}

}  // namespace lumen::Nordic
