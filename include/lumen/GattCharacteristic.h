#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "lumen/Export.h"
#include "lumen/Uuid.h"

namespace lumen {

class GattService;

// One characteristic of a connected device. Reads and writes recover once
// from a stale handle cache. Notifications reach the changed callback on the
// library's message-queue thread while the event bus is locked: the callback
// must not call back into operations that reach the radio.
class LUMEN_API GattCharacteristic {
 public:
  class Impl;

  GattCharacteristic(const GattCharacteristic&) = delete;
  GattCharacteristic& operator=(const GattCharacteristic&) = delete;
  ~GattCharacteristic();

  Uuid uuid();
  // shortValue: one read; otherwise a long read of the whole value.
  std::vector<uint8_t> ReadValue(bool shortValue);
  // Only short writes without acknowledgement are supported; the other forms
  // throw NotImplementedException without radio traffic.
  void WriteValue(const std::vector<uint8_t>& value, bool shortValue, bool withAck);
  // Set before enabling notifications and leave it while they flow.
  void SetCharacteristicChangedCallback(std::function<void(const std::vector<uint8_t>&)> callback);
  // Writes the client configuration descriptor (value handle + 1).
  void EnableCharacteristicNotification(bool enable);

 private:
  friend class GattService;

  explicit GattCharacteristic(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumen
