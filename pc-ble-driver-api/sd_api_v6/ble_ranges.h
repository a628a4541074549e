#ifndef BLE_RANGES_H__
#define BLE_RANGES_H__

#ifdef __cplusplus
extern "C" {
#endif

#define BLE_EVT_BASE 0x01
#define BLE_GAP_EVT_BASE 0x10
#define BLE_GATTC_EVT_BASE 0x30
#define BLE_GATTS_EVT_BASE 0x50
#define BLE_L2CAP_EVT_BASE 0x70

#define BLE_CFG_BASE 0x01
#define BLE_CONN_CFG_BASE 0x20
#define BLE_GAP_CFG_BASE 0x40
#define BLE_GATTS_CFG_BASE 0xA0

#ifdef __cplusplus
}
#endif

#endif
