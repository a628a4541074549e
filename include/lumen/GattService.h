#pragma once

#include <memory>
#include <vector>

#include "lumen/Export.h"
#include "lumen/Uuid.h"

namespace lumen {

class BluetoothDevice;
class GattCharacteristic;

// One service of a connected device. It holds no GATT data: every call asks
// the device's cache. Bound to the connection the device had when it was
// made; after a reconnection obtain a new one.
class LUMEN_API GattService {
 public:
  class Impl;

  GattService(const GattService&) = delete;
  GattService& operator=(const GattService&) = delete;
  ~GattService();

  Uuid uuid();
  std::vector<Uuid> GetCharacteristicUuids();
  std::unique_ptr<GattCharacteristic> GetCharacteristic(const Uuid& characteristic);

 private:
  friend class BluetoothDevice;

  explicit GattService(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumen
