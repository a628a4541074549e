#pragma once

#include <cstdint>

namespace lumen {

// Which radio Initialize opens.
enum BluetoothDeviceType : int32_t {
  Unknown = 0,
  BLED112Dongle = 1,
  BLE113 = 2,
  NordicNRF52 = 3,
};

}  // namespace lumen
