#pragma once

#include <boost/core/noncopyable.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/CommonDataNotificationEvent.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/DeviceConnectionHandle.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/Uuid.h"

namespace lumen {

class GattCharacteristic::Impl : private boost::noncopyable {
 public:
  using ChangedCallback = std::function<void(const std::vector<uint8_t>&)>;

  // Subscribes to notifications of valueHandle on handle's connection; throws
  // when that connection is not open.
  Impl(std::weak_ptr<BluetoothDevice> device, Uuid serviceUuid, Uuid characteristicUuid,
       details::DeviceConnectionHandle handle, uint16_t valueHandle);
  // Unsubscribes; after that no notification handler is running or will run.
  ~Impl();

  std::shared_ptr<BluetoothDevice> LockDevice() const;
  uint16_t LookUpValueHandle() const;
  // Runs operation; on an "invalid handle" answer rebuilds the device's cache
  // for the service and runs it once more.
  template <class Operation>
  auto WithInvalidHandleRecovery(Operation operation) -> decltype(operation());

  void SetChangedCallback(ChangedCallback callback);
  std::shared_ptr<const ChangedCallback> ChangedCallbackCopy() const;

  std::weak_ptr<BluetoothDevice> m_device;
  Uuid m_serviceUuid;
  Uuid m_characteristicUuid;
  details::DeviceConnectionHandle m_handle;
  int m_subscriptionId = 0;

 private:
  void OnNotification(const details::CommonDataNotificationEvent_t* event) const;

  // Copied out under the mutex so a callback replaced while notifications
  // flow is never read half-written.
  mutable std::mutex m_callbackMutex;
  std::shared_ptr<const ChangedCallback> m_changedCallback;
  uint32_t m_nativeHandle = 0;
  uint16_t m_valueHandle = 0;
};

}  // namespace lumen
