#ifndef BLE_TYPES_H__
#define BLE_TYPES_H__

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BLE_CONN_HANDLE_INVALID 0xFFFF
#define BLE_CONN_HANDLE_ALL 0xFFFE

#define BLE_UUID_TYPE_UNKNOWN 0x00
#define BLE_UUID_TYPE_BLE 0x01
#define BLE_UUID_TYPE_VENDOR_BEGIN 0x02

typedef struct {
  uint16_t uuid;
  uint8_t type;
} ble_uuid_t;

typedef struct {
  uint8_t* p_data;
  uint16_t len;
} ble_data_t;

#ifdef __cplusplus
}
#endif

#endif
