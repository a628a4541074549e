#pragma once

#include <cstdint>

#include "lumen/DeviceConnectionHandle.h"
#include "lumen/Uuid.h"

namespace lumen {

// One RSSI sample. timestamp is in steady milliseconds.
struct TimestampedRSSI {
  int64_t timestamp = 0;
  int8_t rssi = 0;  // dBm
  bool fromConnection = false;
};

// One primary service found on a connection.
struct AttGroupItem {
  details::DeviceConnectionHandle handle;
  uint16_t startHandle = 0;
  uint16_t endHandle = 0;
  Uuid uuid;
};

// One characteristic: its value handle and its UUID.
struct AttHandleItem {
  details::DeviceConnectionHandle handle;
  uint16_t attHandle = 0;
  Uuid uuid;
};

}  // namespace lumen
