#pragma once

#include <cstdint>

#include "lumen/DeviceConnectionHandle.h"
#include "lumen/Uuid.h"

namespace lumen {

/// One RSSI sample, as BluetoothDevice::GetRSSIFromConnection() returns them.
struct TimestampedRSSI {
  int64_t timestamp = 0;        ///< When it was taken, in steady milliseconds.
  int8_t rssi = 0;              ///< Signal strength in dBm.
  bool fromConnection = false;  ///< Read on a connection rather than from an advertisement.
};

/// One primary service found on a connection.
struct AttGroupItem {
  details::DeviceConnectionHandle handle;  ///< The connection it was found on.
  uint16_t startHandle = 0;                ///< The service's first attribute handle.
  uint16_t endHandle = 0;                  ///< The service's last attribute handle.
  Uuid uuid;                               ///< The service's UUID.
};

/// One characteristic: its value handle and its UUID.
struct AttHandleItem {
  details::DeviceConnectionHandle handle;  ///< The connection it was found on.
  uint16_t attHandle = 0;                  ///< The characteristic's value handle.
  Uuid uuid;                               ///< The characteristic's UUID.
};

}  // namespace lumen
