#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "lumen/Address.h"
#include "lumen/Export.h"
#include "lumen/ProviderTypes.h"
#include "lumen/Uuid.h"

namespace lumen {

namespace details {
class DeviceRecord;
class DevicesInRange;
}  // namespace details

class GattService;

// The application's handle on one remote device found by a Scanner. What the
// advertisements said lives in the scanner's cache; once the cache has
// forgotten the device those queries log "DeviceRecord object is not valid"
// and answer neutrally, while GATT work on an open connection goes on.
class LUMEN_API BluetoothDevice : public std::enable_shared_from_this<BluetoothDevice> {
 public:
  class Impl;

  BluetoothDevice(const BluetoothDevice&) = delete;
  BluetoothDevice& operator=(const BluetoothDevice&) = delete;
  // Disconnects an open connection; never throws.
  ~BluetoothDevice();

  // Connects (unless connected) and rediscovers the services.
  void Connect();
  void Disconnect();
  bool IsConnected() const;

  Address address();
  std::vector<uint8_t> advertisement_data();
  void GetAdvertUuids(std::vector<Uuid>& out);
  bool HasAdvertUuid(const Uuid& uuid) const;
  bool HasUuidInAdvert() const;
  uint64_t GetConsecutiveAdvertsWithoutUuidCount() const;
  bool IsConnectable() const;
  bool IsRandomAddress() const;

  // timestamp in steady milliseconds.
  void UpdateRSSI(int64_t timestamp, int8_t rssi);
  // Mean of the newest three samples.
  double MeanRssi();
  // The first successful call on a connection returns the advertisement
  // history (oldest first) followed by the new sample; later calls only the
  // new sample. False when not connected or the radio has no value.
  bool GetRSSIFromConnection(std::vector<TimestampedRSSI>& out);

  void GetServices();
  bool HasServices() const;
  bool HasService(const Uuid& service);
  bool ServicesContainUUID(const Uuid& service);
  std::vector<Uuid> GetServiceUuids();
  std::unique_ptr<GattService> GetService(const Uuid& service);
  void GetCharacteristicUUIDs(const Uuid& service, std::vector<Uuid>& out);
  uint16_t GetCharacteristicHandle(const Uuid& service, const Uuid& characteristic);
  void ResetGattDatabaseForService(const Uuid& service);
  std::chrono::system_clock::time_point GetLastTimeDiscoveredServices();
  // Time of the latest Connect call by any device.
  static std::chrono::system_clock::time_point GetTimeLastAttemptedConnection();

  void SetServiceUuidUsedToDetect(const Uuid& uuid);
  bool GetServiceUuidUsedToDetect(Uuid& out);

 private:
  friend class details::DeviceRecord;
  friend class details::DevicesInRange;

  explicit BluetoothDevice(std::unique_ptr<Impl> impl);

  // pNewDevice is this device under a new address: take over its state.
  void TakeNewMACInfo(BluetoothDevice* pNewDevice);

  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumen
