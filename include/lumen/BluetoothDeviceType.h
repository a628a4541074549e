#pragma once

#include <cstdint>

namespace lumen {

/// Which radio Initialize() opens.
enum BluetoothDeviceType : int32_t {
  Unknown = 0,        ///< No radio; Initialize() throws for it.
  BLED112Dongle = 1,  ///< A Bluegiga BLED112 USB dongle, over BGAPI on its serial port.
  BLE113 = 2,         ///< A Bluegiga BLE113 module, over BGAPI on a serial port.
  /// A Nordic nRF52 connectivity board through pc-ble-driver; in a build without pc-ble-driver,
  /// the virtual nRF52 board, whose port is the path of a scenario file.
  NordicNRF52 = 3,
};

}  // namespace lumen
