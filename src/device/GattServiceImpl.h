#pragma once

#include <memory>

#include "lumen/BluetoothDevice.h"
#include "lumen/DeviceConnectionHandle.h"
#include "lumen/GattService.h"
#include "lumen/Uuid.h"

namespace lumen {

class GattService::Impl {
 public:
  Impl(std::weak_ptr<BluetoothDevice> device, Uuid serviceUuid, details::DeviceConnectionHandle handle)
      : m_device(std::move(device)), m_serviceUuid(std::move(serviceUuid)), m_handle(handle) {}

  std::weak_ptr<BluetoothDevice> m_device;
  Uuid m_serviceUuid;
  // The device's connection when this object was made.
  details::DeviceConnectionHandle m_handle;
};

}  // namespace lumen
