#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "lumen/Export.h"
#include "lumen/Uuid.h"

namespace lumen {

class GattService;

/// One characteristic of a connected device, from GattService::GetCharacteristic(). Reads and
/// writes are radio waits on the calling thread; a stale handle ("Invalid Handle" from the radio)
/// is recovered from once by rediscovering the service. Errors come as details::KesBluetoothSDKLibError
/// (details::BGLibError, details::NordicLibError); once the BluetoothDevice is released, calls throw
/// details::KesBluetoothSDKLibError "BluetoothDevice no longer exists".
///
/// Notifications reach the changed callback on the library's message-queue thread while the event
/// bus is locked: the callback must not call back into operations that reach the radio (such a
/// call throws at once). See \ref md_docs_threads "Threads and callbacks".
class LUMEN_API GattCharacteristic {
 public:
  class Impl;

  GattCharacteristic(const GattCharacteristic&) = delete;
  GattCharacteristic& operator=(const GattCharacteristic&) = delete;
  /// Stops delivering notifications to the callback; allowed inside the callback itself, where
  /// the current notification is the last. Does not write the client configuration.
  ~GattCharacteristic();

  /// \return the characteristic's UUID.
  Uuid uuid();
  /// Reads the value.
  /// \param shortValue true: one read; false: a read of the whole value, however long.
  /// \return the value's bytes.
  std::vector<uint8_t> ReadValue(bool shortValue);
  /// Writes the value without acknowledgement (a write command). Only that form is supported.
  /// \param value the bytes to write.
  /// \param shortValue must be true.
  /// \param withAck must be false.
  /// \throws details::NotImplementedException for the other forms, without radio traffic.
  void WriteValue(const std::vector<uint8_t>& value, bool shortValue, bool withAck);
  /// Sets the function notifications go to. Set it before enabling notifications and leave it while
  /// they flow. It runs on the library's message-queue thread with the event bus locked, one
  /// notification at a time in arrival order; an exception it throws is logged at WARNING.
  /// \param callback receives each notified or indicated value; empty stops delivery.
  void SetCharacteristicChangedCallback(std::function<void(const std::vector<uint8_t>&)> callback);
  /// Writes the client configuration descriptor (value handle + 1) to switch notifications on or off.
  /// \param enable true for on.
  /// \throws details::KesBluetoothSDKLibError "notification callback is not set" when no callback is set.
  void EnableCharacteristicNotification(bool enable);

 private:
  friend class GattService;

  explicit GattCharacteristic(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumen
