#pragma once

#include <memory>
#include <vector>

#include "lumen/Export.h"
#include "lumen/Uuid.h"

namespace lumen {

class BluetoothDevice;
class GattCharacteristic;

/// One service of a connected device, from BluetoothDevice::GetService(). It holds no GATT data:
/// every call asks the device's cache, discovering the characteristics on first use (a radio
/// wait on the calling thread). Bound to the connection the device had when it was made; after a
/// reconnection obtain a new one. Once the BluetoothDevice is released, calls throw
/// details::KesBluetoothSDKLibError "BluetoothDevice no longer exists".
class LUMEN_API GattService {
 public:
  class Impl;

  GattService(const GattService&) = delete;
  GattService& operator=(const GattService&) = delete;
  /// Characteristics obtained from it stay usable.
  ~GattService();

  /// \return the service's UUID.
  Uuid uuid();
  /// \return the UUIDs of the service's characteristics.
  std::vector<Uuid> GetCharacteristicUuids();
  /// \param characteristic a characteristic UUID of this service.
  /// \return the characteristic, bound to the same connection.
  /// \throws details::KesBluetoothSDKLibError when the service has no such characteristic.
  std::unique_ptr<GattCharacteristic> GetCharacteristic(const Uuid& characteristic);

 private:
  friend class BluetoothDevice;

  explicit GattService(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumen
