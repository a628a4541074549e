/* GATT client: discovery, reads, writes and the server's value updates (subset). */
#ifndef BLE_GATTC_H__
#define BLE_GATTC_H__

#include <stdint.h>

#include "ble_err.h"
#include "ble_gatt.h"
#include "ble_ranges.h"
#include "ble_types.h"
#include "nrf_svc.h"

#ifdef __cplusplus
extern "C" {
#endif

#define BLE_ERROR_GATTC_PROC_NOT_PERMITTED (NRF_GATTC_ERR_BASE + 0x000)

enum BLE_GATTC_EVTS {
  BLE_GATTC_EVT_PRIM_SRVC_DISC_RSP = BLE_GATTC_EVT_BASE,
  BLE_GATTC_EVT_REL_DISC_RSP,
  BLE_GATTC_EVT_CHAR_DISC_RSP,
  BLE_GATTC_EVT_DESC_DISC_RSP,
  BLE_GATTC_EVT_ATTR_INFO_DISC_RSP,
  BLE_GATTC_EVT_CHAR_VAL_BY_UUID_READ_RSP,
  BLE_GATTC_EVT_READ_RSP,
  BLE_GATTC_EVT_CHAR_VALS_READ_RSP,
  BLE_GATTC_EVT_WRITE_RSP,
  BLE_GATTC_EVT_HVX,
  BLE_GATTC_EVT_EXCHANGE_MTU_RSP,
  BLE_GATTC_EVT_TIMEOUT,
  BLE_GATTC_EVT_WRITE_CMD_TX_COMPLETE,
};

typedef struct {
  uint8_t write_cmd_tx_queue_size;
} ble_gattc_conn_cfg_t;

typedef struct {
  uint16_t start_handle;
  uint16_t end_handle;
} ble_gattc_handle_range_t;

typedef struct {
  ble_uuid_t uuid;
  ble_gattc_handle_range_t handle_range;
} ble_gattc_service_t;

typedef struct {
  ble_uuid_t uuid;
  ble_gatt_char_props_t char_props;
  uint8_t char_ext_props : 1;
  uint16_t handle_decl;
  uint16_t handle_value;
} ble_gattc_char_t;

typedef struct {
  uint8_t write_op;
  uint8_t flags;
  uint16_t handle;
  uint16_t offset;
  uint16_t len;
  uint8_t const* p_value;
} ble_gattc_write_params_t;

typedef struct {
  uint16_t count;
  ble_gattc_service_t services[1];
} ble_gattc_evt_prim_srvc_disc_rsp_t;

typedef struct {
  uint16_t count;
  ble_gattc_char_t chars[1];
} ble_gattc_evt_char_disc_rsp_t;

typedef struct {
  uint16_t handle;
  uint16_t offset;
  uint16_t len;
  uint8_t data[1];
} ble_gattc_evt_read_rsp_t;

typedef struct {
  uint16_t handle;
  uint8_t write_op;
  uint16_t offset;
  uint16_t len;
  uint8_t data[1];
} ble_gattc_evt_write_rsp_t;

typedef struct {
  uint16_t handle;
  uint8_t type;
  uint16_t len;
  uint8_t data[1];
} ble_gattc_evt_hvx_t;

typedef struct {
  uint16_t server_rx_mtu;
} ble_gattc_evt_exchange_mtu_rsp_t;

typedef struct {
  uint8_t src;
} ble_gattc_evt_timeout_t;

typedef struct {
  uint8_t count;
} ble_gattc_evt_write_cmd_tx_complete_t;

typedef struct {
  uint16_t conn_handle;
  uint16_t gatt_status;
  uint16_t error_handle;
  union {
    ble_gattc_evt_prim_srvc_disc_rsp_t prim_srvc_disc_rsp;
    ble_gattc_evt_char_disc_rsp_t char_disc_rsp;
    ble_gattc_evt_read_rsp_t read_rsp;
    ble_gattc_evt_write_rsp_t write_rsp;
    ble_gattc_evt_hvx_t hvx;
    ble_gattc_evt_exchange_mtu_rsp_t exchange_mtu_rsp;
    ble_gattc_evt_timeout_t timeout;
    ble_gattc_evt_write_cmd_tx_complete_t write_cmd_tx_complete;
  } params;
} ble_gattc_evt_t;

SD_RPC_API uint32_t sd_ble_gattc_primary_services_discover(adapter_t* adapter, uint16_t conn_handle,
                                                           uint16_t start_handle, ble_uuid_t const* p_srvc_uuid);
SD_RPC_API uint32_t sd_ble_gattc_characteristics_discover(adapter_t* adapter, uint16_t conn_handle,
                                                          ble_gattc_handle_range_t const* p_handle_range);
SD_RPC_API uint32_t sd_ble_gattc_read(adapter_t* adapter, uint16_t conn_handle, uint16_t handle, uint16_t offset);
SD_RPC_API uint32_t sd_ble_gattc_write(adapter_t* adapter, uint16_t conn_handle,
                                       ble_gattc_write_params_t const* p_write_params);
SD_RPC_API uint32_t sd_ble_gattc_hv_confirm(adapter_t* adapter, uint16_t conn_handle, uint16_t handle);
SD_RPC_API uint32_t sd_ble_gattc_exchange_mtu_request(adapter_t* adapter, uint16_t conn_handle, uint16_t client_rx_mtu);

#ifdef __cplusplus
}
#endif

#endif
