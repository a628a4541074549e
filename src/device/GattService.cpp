#include "lumen/GattService.h"

#include "device/GattCharacteristicImpl.h"
#include "device/GattServiceImpl.h"
#include "lumen/Errors.h"
#include "lumen/GattCharacteristic.h"

namespace lumen {

GattService::GattService(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

GattService::~GattService() = default;

Uuid GattService::uuid() { return m_impl->m_serviceUuid; }

namespace {

std::shared_ptr<BluetoothDevice> LockDevice(const std::weak_ptr<BluetoothDevice>& weak) {
  std::shared_ptr<BluetoothDevice> device = weak.lock();
  if (!device) {
    throw details::KesBluetoothSDKLibError("BluetoothDevice no longer exists", details::kErrorGeneral);
  }
  return device;
}

}  // namespace

std::vector<Uuid> GattService::GetCharacteristicUuids() {
  std::vector<Uuid> uuids;
  LockDevice(m_impl->m_device)->GetCharacteristicUUIDs(m_impl->m_serviceUuid, uuids);
  return uuids;
}

std::unique_ptr<GattCharacteristic> GattService::GetCharacteristic(const Uuid& characteristic) {
  const std::shared_ptr<BluetoothDevice> device = LockDevice(m_impl->m_device);
  const uint16_t valueHandle = device->GetCharacteristicHandle(m_impl->m_serviceUuid, characteristic);
  return std::unique_ptr<GattCharacteristic>(new GattCharacteristic(std::make_unique<GattCharacteristic::Impl>(
      m_impl->m_device, m_impl->m_serviceUuid, characteristic, m_impl->m_handle, valueHandle)));
}

}  // namespace lumen
