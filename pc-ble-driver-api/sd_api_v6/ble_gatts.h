/* GATT server: the events a central still receives as a server, and their replies (subset). */
#ifndef BLE_GATTS_H__
#define BLE_GATTS_H__

#include <stdint.h>

#include "ble_err.h"
#include "ble_gatt.h"
#include "ble_ranges.h"
#include "ble_types.h"
#include "nrf_svc.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BLE_ERROR_GATTS_INVALID_ATTR_TYPE (NRF_GATTS_ERR_BASE + 0x000)
#define BLE_ERROR_GATTS_SYS_ATTR_MISSING (NRF_GATTS_ERR_BASE + 0x001)

enum BLE_GATTS_EVTS {
  BLE_GATTS_EVT_WRITE = BLE_GATTS_EVT_BASE,
  BLE_GATTS_EVT_RW_AUTHORIZE_REQUEST,
  BLE_GATTS_EVT_SYS_ATTR_MISSING,
  BLE_GATTS_EVT_HVC,
  BLE_GATTS_EVT_SC_CONFIRM,
  BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST,
  BLE_GATTS_EVT_TIMEOUT,
  BLE_GATTS_EVT_HVN_TX_COMPLETE,
};

typedef struct {
  uint8_t hint;
} ble_gatts_evt_sys_attr_missing_t;

typedef struct {
  uint16_t client_rx_mtu;
} ble_gatts_evt_exchange_mtu_request_t;

typedef struct {
  uint8_t src;
} ble_gatts_evt_timeout_t;

typedef struct {
  uint16_t conn_handle;
  union {
    ble_gatts_evt_sys_attr_missing_t sys_attr_missing;
    ble_gatts_evt_exchange_mtu_request_t exchange_mtu_request;
    ble_gatts_evt_timeout_t timeout;
  } params;
} ble_gatts_evt_t;

SD_RPC_API uint32_t sd_ble_gatts_sys_attr_set(adapter_t* adapter, uint16_t conn_handle, uint8_t const* p_sys_attr_data,
                                              uint16_t len, uint32_t flags);
SD_RPC_API uint32_t sd_ble_gatts_exchange_mtu_reply(adapter_t* adapter, uint16_t conn_handle, uint16_t server_rx_mtu);

#ifdef __cplusplus
}
#endif

#endif
