/* The stack as a whole: configuration, enabling, version, and the event record (subset). */
#ifndef BLE_H__
#define BLE_H__

#include <stdint.h>

#include "ble_err.h"
#include "ble_gap.h"
#include "ble_gatt.h"
#include "ble_gattc.h"
#include "ble_gatts.h"
#include "ble_ranges.h"
#include "ble_types.h"
#include "nrf_error.h"
#include "nrf_svc.h"

#ifdef __cplusplus
extern "C" {
#endif

enum BLE_COMMON_EVTS {
  BLE_EVT_USER_MEM_REQUEST = BLE_EVT_BASE + 0,
  BLE_EVT_USER_MEM_RELEASE = BLE_EVT_BASE + 1,
};

enum BLE_CONN_CFGS {
  BLE_CONN_CFG_GAP = BLE_CONN_CFG_BASE,
  BLE_CONN_CFG_GATTC,
  BLE_CONN_CFG_GATTS,
  BLE_CONN_CFG_GATT,
  BLE_CONN_CFG_L2CAP,
};

enum BLE_COMMON_CFGS {
  BLE_COMMON_CFG_VS_UUID = BLE_CFG_BASE,
};

#define BLE_CONN_CFG_TAG_DEFAULT 0
#define BLE_EVT_PTR_ALIGNMENT 4

typedef struct {
  uint8_t* p_mem;
  uint16_t len;
} ble_user_mem_block_t;

typedef struct {
  uint8_t type;
} ble_evt_user_mem_request_t;

typedef struct {
  uint16_t conn_handle;
  union {
    ble_evt_user_mem_request_t user_mem_request;
  } params;
} ble_common_evt_t;

typedef struct {
  uint16_t evt_id;
  uint16_t evt_len;
} ble_evt_hdr_t;

typedef struct {
  ble_evt_hdr_t header;
  union {
    ble_common_evt_t common_evt;
    ble_gap_evt_t gap_evt;
    ble_gattc_evt_t gattc_evt;
    ble_gatts_evt_t gatts_evt;
  } evt;
} ble_evt_t;

typedef struct {
  uint8_t version_number;
  uint16_t company_id;
  uint16_t subversion_number;
} ble_version_t;

typedef struct {
  uint8_t conn_cfg_tag;
  union {
    ble_gap_conn_cfg_t gap_conn_cfg;
    ble_gattc_conn_cfg_t gattc_conn_cfg;
    ble_gatt_conn_cfg_t gatt_conn_cfg;
  } params;
} ble_conn_cfg_t;

typedef union {
  ble_conn_cfg_t conn_cfg;
  ble_gap_cfg_t gap_cfg;
} ble_cfg_t;

SD_RPC_API uint32_t sd_ble_enable(adapter_t* adapter, uint32_t* p_app_ram_base);
SD_RPC_API uint32_t sd_ble_cfg_set(adapter_t* adapter, uint32_t cfg_id, ble_cfg_t const* p_cfg, uint32_t app_ram_base);
SD_RPC_API uint32_t sd_ble_version_get(adapter_t* adapter, ble_version_t* p_version);
SD_RPC_API uint32_t sd_ble_user_mem_reply(adapter_t* adapter, uint16_t conn_handle,
                                          ble_user_mem_block_t const* p_block);

#ifdef __cplusplus
}
#endif

#endif
