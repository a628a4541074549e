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

/// The application's handle on one remote device found by a Scanner, handed out by its
/// ScanCallback and AdvCallback as a std::shared_ptr; keep it as long as needed. What the
/// advertisements said lives in the scanner's cache; once the cache has forgotten the device
/// (SetScanCacheTimeout(), or the scanner is gone) those queries log "DeviceRecord object is not
/// valid" at WARNING and answer neutrally, while GATT work on an open connection goes on.
///
/// Calls that reach the radio (Connect(), Disconnect(), discovery, GetRSSIFromConnection()) wait on
/// the calling thread and throw the radio's errors as details::KesBluetoothSDKLibError (details::BGLibError,
/// details::NordicLibError). They must not be made from a characteristic changed callback or a log
/// callback; see \ref md_docs_threads "Threads and callbacks" for what blocks and for how long.
/// A phone that changes its random address stays the same object: the scanner moves it to the
/// new address.
class LUMEN_API BluetoothDevice : public std::enable_shared_from_this<BluetoothDevice> {
 public:
  class Impl;

  BluetoothDevice(const BluetoothDevice&) = delete;
  BluetoothDevice& operator=(const BluetoothDevice&) = delete;
  /// Disconnects an open connection; never throws (a failure is logged at ERROR).
  ~BluetoothDevice();

  /// Connects (unless connected) and discovers the services again. Blocks for the connection and
  /// a full service discovery; counted in RadioHealth.
  /// \throws details::KesBluetoothSDKLibError "DeviceRecord object is not valid" when the scanner has
  ///         forgotten the device, or the radio's error when connecting or discovery fails.
  void Connect();
  /// Closes the connection (a radio wait on the calling thread).
  void Disconnect();
  /// \return whether the device has an open connection; false once the link is lost.
  bool IsConnected() const;

  /// \return the device's current address; 00:00:00:00:00:00 when the record is gone.
  Address address();
  /// \return the payload of the device's latest advertisement; empty when the record is gone.
  std::vector<uint8_t> advertisement_data();
  /// \param out cleared, then filled with the service UUIDs the device advertised, newest first.
  void GetAdvertUuids(std::vector<Uuid>& out);
  /// \param uuid a service UUID.
  /// \return whether the device advertised it.
  bool HasAdvertUuid(const Uuid& uuid) const;
  /// \return whether the device advertised any service UUID.
  bool HasUuidInAdvert() const;
  /// \return how many advertisements in a row came without a UUID list (a phone in the
  ///         background advertises none).
  uint64_t GetConsecutiveAdvertsWithoutUuidCount() const;
  /// \return whether the latest advertisement was connectable and undirected.
  bool IsConnectable() const;
  /// \return whether the address is a random one.
  bool IsRandomAddress() const;

  /// Adds an RSSI sample to the device's history.
  /// \param timestamp in steady milliseconds.
  /// \param rssi in dBm.
  void UpdateRSSI(int64_t timestamp, int8_t rssi);
  /// \return the mean of the newest three RSSI samples in dBm; 0 when the record is gone.
  double MeanRssi();
  /// Reads the RSSI of the open connection (a radio call on the calling thread).
  /// \param out cleared, then filled: the first successful call on a connection gives the
  ///        advertisement history (oldest first) followed by the new sample; later calls only the
  ///        new sample.
  /// \return false when not connected, the record is gone, or the radio has no value.
  bool GetRSSIFromConnection(std::vector<TimestampedRSSI>& out);

  /// Discovers the primary services of the open connection and replaces the cached ones.
  void GetServices();
  /// \return whether services are cached (no radio traffic).
  bool HasServices() const;
  /// Discovers the services first when none are cached.
  /// \param service a service UUID.
  /// \return whether the device has it.
  bool HasService(const Uuid& service);
  /// \param service a service UUID.
  /// \return whether the cached services hold it (no radio traffic).
  bool ServicesContainUUID(const Uuid& service);
  /// Discovers the services first when none are cached.
  /// \return the UUIDs of the device's services.
  std::vector<Uuid> GetServiceUuids();
  /// One service, bound to the current connection. Discovers the services first when none are
  /// cached.
  /// \param service a service UUID.
  /// \return the service; it holds the device weakly.
  /// \throws details::KesBluetoothSDKLibError "service UUID not found" when the device has no such service.
  std::unique_ptr<GattService> GetService(const Uuid& service);
  /// Discovers the service's characteristics first unless they are cached.
  /// \param service a service UUID.
  /// \param out the characteristics' UUIDs are appended.
  /// \throws details::KesBluetoothSDKLibError when the device has no such service.
  void GetCharacteristicUUIDs(const Uuid& service, std::vector<Uuid>& out);
  /// Discovers the service's characteristics first unless they are cached.
  /// \param service a service UUID.
  /// \param characteristic a characteristic UUID of that service.
  /// \return the characteristic's value handle.
  /// \throws details::KesBluetoothSDKLibError when the service or the characteristic is not there.
  uint16_t GetCharacteristicHandle(const Uuid& service, const Uuid& characteristic);
  /// Forgets every cached service and characteristic, then discovers the services and this
  /// service's characteristics again; for handles that went stale.
  /// \param service the service whose characteristics are rediscovered.
  void ResetGattDatabaseForService(const Uuid& service);
  /// \return when the services were last discovered; the epoch if never.
  std::chrono::system_clock::time_point GetLastTimeDiscoveredServices();
  /// \return the time of the latest Connect() call by any device; the epoch if none.
  static std::chrono::system_clock::time_point GetTimeLastAttemptedConnection();

  /// Records which service UUID identified the device for a scan job (the scanner does this).
  /// \param uuid the service UUID.
  void SetServiceUuidUsedToDetect(const Uuid& uuid);
  /// \param out set to the UUID that identified the device, if any; left alone otherwise.
  /// \return whether one is known.
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
