/* GAP: addresses, scanning, advertising sets, connections and their events (subset). */
#ifndef BLE_GAP_H__
#define BLE_GAP_H__

#include <stdint.h>

#include "ble_err.h"
#include "ble_hci.h"
#include "ble_ranges.h"
#include "ble_types.h"
#include "nrf_svc.h"

#ifdef __cplusplus
extern "C" {
#endif

enum BLE_GAP_EVTS {
  BLE_GAP_EVT_CONNECTED = BLE_GAP_EVT_BASE,
  BLE_GAP_EVT_DISCONNECTED = BLE_GAP_EVT_BASE + 1,
  BLE_GAP_EVT_CONN_PARAM_UPDATE = BLE_GAP_EVT_BASE + 2,
  BLE_GAP_EVT_SEC_PARAMS_REQUEST = BLE_GAP_EVT_BASE + 3,
  BLE_GAP_EVT_SEC_INFO_REQUEST = BLE_GAP_EVT_BASE + 4,
  BLE_GAP_EVT_PASSKEY_DISPLAY = BLE_GAP_EVT_BASE + 5,
  BLE_GAP_EVT_KEY_PRESSED = BLE_GAP_EVT_BASE + 6,
  BLE_GAP_EVT_AUTH_KEY_REQUEST = BLE_GAP_EVT_BASE + 7,
  BLE_GAP_EVT_LESC_DHKEY_REQUEST = BLE_GAP_EVT_BASE + 8,
  BLE_GAP_EVT_AUTH_STATUS = BLE_GAP_EVT_BASE + 9,
  BLE_GAP_EVT_CONN_SEC_UPDATE = BLE_GAP_EVT_BASE + 10,
  BLE_GAP_EVT_TIMEOUT = BLE_GAP_EVT_BASE + 11,
  BLE_GAP_EVT_RSSI_CHANGED = BLE_GAP_EVT_BASE + 12,
  BLE_GAP_EVT_ADV_REPORT = BLE_GAP_EVT_BASE + 13,
  BLE_GAP_EVT_SEC_REQUEST = BLE_GAP_EVT_BASE + 14,
  BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST = BLE_GAP_EVT_BASE + 15,
  BLE_GAP_EVT_SCAN_REQ_REPORT = BLE_GAP_EVT_BASE + 16,
  BLE_GAP_EVT_PHY_UPDATE_REQUEST = BLE_GAP_EVT_BASE + 17,
  BLE_GAP_EVT_PHY_UPDATE = BLE_GAP_EVT_BASE + 18,
  BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST = BLE_GAP_EVT_BASE + 19,
  BLE_GAP_EVT_DATA_LENGTH_UPDATE = BLE_GAP_EVT_BASE + 20,
  BLE_GAP_EVT_QOS_CHANNEL_SURVEY_REPORT = BLE_GAP_EVT_BASE + 21,
  BLE_GAP_EVT_ADV_SET_TERMINATED = BLE_GAP_EVT_BASE + 22,
};

enum BLE_GAP_CFGS {
  BLE_GAP_CFG_ROLE_COUNT = BLE_GAP_CFG_BASE,
  BLE_GAP_CFG_DEVICE_NAME = BLE_GAP_CFG_BASE + 1,
};

enum BLE_GAP_TX_POWER_ROLES {
  BLE_GAP_TX_POWER_ROLE_ADV = 1,
  BLE_GAP_TX_POWER_ROLE_SCAN_INIT = 2,
  BLE_GAP_TX_POWER_ROLE_CONN = 3,
};

#define BLE_GAP_ADDR_LEN (6)

#define BLE_GAP_ADDR_TYPE_PUBLIC 0x00
#define BLE_GAP_ADDR_TYPE_RANDOM_STATIC 0x01
#define BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE 0x02
#define BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_NON_RESOLVABLE 0x03
#define BLE_GAP_ADDR_TYPE_ANONYMOUS 0x7F

#define BLE_GAP_TIMEOUT_SRC_SCAN 0x01
#define BLE_GAP_TIMEOUT_SRC_CONN 0x02
#define BLE_GAP_TIMEOUT_SRC_AUTH_PAYLOAD 0x03

#define BLE_GAP_ADV_DATA_STATUS_COMPLETE 0x00
#define BLE_GAP_ADV_DATA_STATUS_INCOMPLETE_MORE_DATA 0x01
#define BLE_GAP_ADV_DATA_STATUS_INCOMPLETE_TRUNCATED 0x02
#define BLE_GAP_ADV_DATA_STATUS_INCOMPLETE_MISSED 0x03

#define BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED 0x01
#define BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE 0x02
#define BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED 0x03
#define BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED 0x04
#define BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED 0x05

#define BLE_GAP_PHY_AUTO 0x00
#define BLE_GAP_PHY_1MBPS 0x01
#define BLE_GAP_PHY_2MBPS 0x02
#define BLE_GAP_PHY_CODED 0x04
#define BLE_GAP_PHY_NOT_SET 0xFF

#define BLE_GAP_ADV_SET_HANDLE_NOT_SET (0xFF)
#define BLE_GAP_ADV_SET_COUNT_DEFAULT (1)
#define BLE_GAP_ADV_SET_COUNT_MAX (1)
#define BLE_GAP_ADV_SET_DATA_SIZE_MAX (31)
#define BLE_GAP_ADV_SET_DATA_SIZE_EXTENDED_MAX_SUPPORTED (255)

#define BLE_GAP_SCAN_BUFFER_MIN (31)
#define BLE_GAP_SCAN_BUFFER_MAX (31)
#define BLE_GAP_SCAN_BUFFER_EXTENDED_MIN (255)
#define BLE_GAP_SCAN_BUFFER_EXTENDED_MAX_SUPPORTED (255)

#define BLE_GAP_ROLE_INVALID 0x0
#define BLE_GAP_ROLE_PERIPH 0x1
#define BLE_GAP_ROLE_CENTRAL 0x2

#define BLE_GAP_RSSI_THRESHOLD_INVALID 0xFF
#define BLE_GAP_POWER_LEVEL_INVALID 127
#define BLE_GAP_ADV_REPORT_SET_ID_NOT_AVAILABLE 0xFF

#define BLE_GAP_SCAN_FP_ACCEPT_ALL 0x00
#define BLE_GAP_ADV_FP_ANY 0x00
#define BLE_GAP_SCAN_TIMEOUT_UNLIMITED (0)

#define BLE_GAP_CONN_COUNT_DEFAULT (1)
#define BLE_GAP_EVENT_LENGTH_MIN (2)
#define BLE_GAP_EVENT_LENGTH_DEFAULT (3)
#define BLE_GAP_ROLE_COUNT_PERIPH_DEFAULT (1)
#define BLE_GAP_ROLE_COUNT_CENTRAL_DEFAULT (3)
#define BLE_GAP_ROLE_COUNT_CENTRAL_SEC_DEFAULT (1)
#define BLE_GAP_ROLE_COUNT_COMBINED_MAX (20)

#define BLE_GAP_CH_MASK_LEN (5)
typedef uint8_t ble_gap_ch_mask_t[BLE_GAP_CH_MASK_LEN];

typedef struct {
  uint8_t addr_id_peer : 1;
  uint8_t addr_type : 7;
  uint8_t addr[BLE_GAP_ADDR_LEN];
} ble_gap_addr_t;

typedef struct {
  uint16_t min_conn_interval;
  uint16_t max_conn_interval;
  uint16_t slave_latency;
  uint16_t conn_sup_timeout;
} ble_gap_conn_params_t;

typedef struct {
  uint8_t extended : 1;
  uint8_t report_incomplete_evts : 1;
  uint8_t active : 1;
  uint8_t filter_policy : 2;
  uint8_t scan_phys;
  uint16_t interval;
  uint16_t window;
  uint16_t timeout;
  ble_gap_ch_mask_t channel_mask;
} ble_gap_scan_params_t;

typedef struct {
  uint8_t type;
  uint8_t anonymous : 1;
  uint8_t include_tx_power : 1;
} ble_gap_adv_properties_t;

typedef struct {
  ble_gap_adv_properties_t properties;
  ble_gap_addr_t const* p_peer_addr;
  uint32_t interval;
  uint16_t duration;
  uint8_t max_adv_evts;
  ble_gap_ch_mask_t channel_mask;
  uint8_t filter_policy;
  uint8_t primary_phy;
  uint8_t secondary_phy;
  uint8_t set_id : 4;
  uint8_t scan_req_notification : 1;
} ble_gap_adv_params_t;

typedef struct {
  ble_data_t adv_data;
  ble_data_t scan_rsp_data;
} ble_gap_adv_data_t;

typedef struct {
  uint8_t tx_phys;
  uint8_t rx_phys;
} ble_gap_phys_t;

typedef struct {
  uint16_t max_tx_octets;
  uint16_t max_rx_octets;
  uint16_t max_tx_time_us;
  uint16_t max_rx_time_us;
} ble_gap_data_length_params_t;

typedef struct {
  uint16_t tx_payload_limited_octets;
  uint16_t rx_payload_limited_octets;
  uint16_t tx_rx_time_limited_us;
} ble_gap_data_length_limitation_t;

typedef struct {
  uint16_t connectable : 1;
  uint16_t scannable : 1;
  uint16_t directed : 1;
  uint16_t scan_response : 1;
  uint16_t extended_pdu : 1;
  uint16_t status : 2;
  uint16_t reserved : 9;
} ble_gap_adv_report_type_t;

typedef struct {
  uint16_t aux_offset;
  uint8_t aux_phy;
} ble_gap_aux_pointer_t;

typedef struct {
  ble_gap_addr_t peer_addr;
  uint8_t role;
  ble_gap_conn_params_t conn_params;
  uint8_t adv_handle;
  ble_gap_adv_data_t adv_data;
} ble_gap_evt_connected_t;

typedef struct {
  uint8_t reason;
} ble_gap_evt_disconnected_t;

typedef struct {
  ble_gap_conn_params_t conn_params;
} ble_gap_evt_conn_param_update_t;

typedef struct {
  uint8_t src;
  union {
    ble_data_t adv_report_buffer;
  } params;
} ble_gap_evt_timeout_t;

typedef struct {
  int8_t rssi;
  uint8_t ch_index;
} ble_gap_evt_rssi_changed_t;

typedef struct {
  ble_gap_adv_report_type_t type;
  ble_gap_addr_t peer_addr;
  ble_gap_addr_t direct_addr;
  uint8_t primary_phy;
  uint8_t secondary_phy;
  int8_t tx_power;
  int8_t rssi;
  uint8_t ch_index;
  uint8_t set_id;
  uint16_t data_id : 12;
  ble_data_t data;
  ble_gap_aux_pointer_t aux_pointer;
} ble_gap_evt_adv_report_t;

typedef struct {
  ble_gap_conn_params_t conn_params;
} ble_gap_evt_conn_param_update_request_t;

typedef struct {
  ble_gap_phys_t peer_preferred_phys;
} ble_gap_evt_phy_update_request_t;

typedef struct {
  uint8_t status;
  uint8_t tx_phy;
  uint8_t rx_phy;
} ble_gap_evt_phy_update_t;

typedef struct {
  ble_gap_data_length_params_t peer_params;
} ble_gap_evt_data_length_update_request_t;

typedef struct {
  ble_gap_data_length_params_t effective_params;
} ble_gap_evt_data_length_update_t;

typedef struct {
  uint16_t conn_handle;
  union {
    ble_gap_evt_connected_t connected;
    ble_gap_evt_disconnected_t disconnected;
    ble_gap_evt_conn_param_update_t conn_param_update;
    ble_gap_evt_timeout_t timeout;
    ble_gap_evt_rssi_changed_t rssi_changed;
    ble_gap_evt_adv_report_t adv_report;
    ble_gap_evt_conn_param_update_request_t conn_param_update_request;
    ble_gap_evt_phy_update_request_t phy_update_request;
    ble_gap_evt_phy_update_t phy_update;
    ble_gap_evt_data_length_update_request_t data_length_update_request;
    ble_gap_evt_data_length_update_t data_length_update;
  } params;
} ble_gap_evt_t;

typedef struct {
  uint8_t conn_count;
  uint16_t event_length;
} ble_gap_conn_cfg_t;

typedef struct {
  uint8_t adv_set_count;
  uint8_t periph_role_count;
  uint8_t central_role_count;
  uint8_t central_sec_count;
  uint8_t qos_channel_survey_role_available : 1;
} ble_gap_cfg_role_count_t;

typedef union {
  ble_gap_cfg_role_count_t role_count_cfg;
} ble_gap_cfg_t;

SD_RPC_API uint32_t sd_ble_gap_scan_start(adapter_t* adapter, ble_gap_scan_params_t const* p_scan_params,
                                          ble_data_t const* p_adv_report_buffer);
SD_RPC_API uint32_t sd_ble_gap_scan_stop(adapter_t* adapter);
SD_RPC_API uint32_t sd_ble_gap_connect(adapter_t* adapter, ble_gap_addr_t const* p_peer_addr,
                                       ble_gap_scan_params_t const* p_scan_params,
                                       ble_gap_conn_params_t const* p_conn_params, uint8_t conn_cfg_tag);
SD_RPC_API uint32_t sd_ble_gap_connect_cancel(adapter_t* adapter);
SD_RPC_API uint32_t sd_ble_gap_disconnect(adapter_t* adapter, uint16_t conn_handle, uint8_t hci_status_code);
SD_RPC_API uint32_t sd_ble_gap_conn_param_update(adapter_t* adapter, uint16_t conn_handle,
                                                 ble_gap_conn_params_t const* p_conn_params);
SD_RPC_API uint32_t sd_ble_gap_data_length_update(adapter_t* adapter, uint16_t conn_handle,
                                                  ble_gap_data_length_params_t const* p_dl_params,
                                                  ble_gap_data_length_limitation_t* p_dl_limitation);
SD_RPC_API uint32_t sd_ble_gap_phy_update(adapter_t* adapter, uint16_t conn_handle, ble_gap_phys_t const* p_gap_phys);
SD_RPC_API uint32_t sd_ble_gap_rssi_start(adapter_t* adapter, uint16_t conn_handle, uint8_t threshold_dbm,
                                          uint8_t skip_count);
SD_RPC_API uint32_t sd_ble_gap_rssi_stop(adapter_t* adapter, uint16_t conn_handle);
SD_RPC_API uint32_t sd_ble_gap_tx_power_set(adapter_t* adapter, uint8_t role, uint16_t handle, int8_t tx_power);
SD_RPC_API uint32_t sd_ble_gap_adv_set_configure(adapter_t* adapter, uint8_t* p_adv_handle,
                                                 ble_gap_adv_data_t const* p_adv_data,
                                                 ble_gap_adv_params_t const* p_adv_params);
SD_RPC_API uint32_t sd_ble_gap_adv_start(adapter_t* adapter, uint8_t adv_handle, uint8_t conn_cfg_tag);
SD_RPC_API uint32_t sd_ble_gap_adv_stop(adapter_t* adapter, uint8_t adv_handle);

#ifdef __cplusplus
}
#endif

#endif
