#include "lumen/GattCharacteristic.h"

#include <exception>
#include <string>
#include <utility>

#include "core/BluetoothSDK.h"
#include "core/CallApplication.h"
#include "core/CallbacksManager.h"
#include "core/ConnectionTable.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "device/GattCharacteristicImpl.h"
#include "lumen/Errors.h"

namespace lumen {

using details::kDebug;
using details::kError;
using details::KesBluetoothSDKLibError;
using details::kWarning;
using details::Log;

namespace {

const char* const kNotificationEvent = "common_evt_data_notification";

// Client Characteristic Configuration values.
const std::vector<uint8_t> kNotificationsOn = {0x01, 0x00};
const std::vector<uint8_t> kNotificationsOff = {0x00, 0x00};

}  // namespace

GattCharacteristic::Impl::Impl(std::weak_ptr<BluetoothDevice> device, Uuid serviceUuid, Uuid characteristicUuid,
                               details::DeviceConnectionHandle handle, uint16_t valueHandle)
    : m_device(std::move(device)),
      m_serviceUuid(std::move(serviceUuid)),
      m_characteristicUuid(std::move(characteristicUuid)),
      m_handle(handle),
      m_nativeHandle(details::GetNativeHandle(handle)),
      m_valueHandle(valueHandle) {
  details::Subscribe<const details::CommonDataNotificationEvent_t*>(
      kNotificationEvent, [this](const details::CommonDataNotificationEvent_t* event) { OnNotification(event); },
      &m_subscriptionId);
}

GattCharacteristic::Impl::~Impl() {
  if (m_subscriptionId == 0) {
    Log(kError, "characteristic is not subscribed");
    return;
  }
  if (!details::Unsubscribe(m_subscriptionId)) {
    Log(kError, "characteristic device failed to unsubscribed");
  }
  m_subscriptionId = 0;
}

std::shared_ptr<BluetoothDevice> GattCharacteristic::Impl::LockDevice() const {
  std::shared_ptr<BluetoothDevice> device = m_device.lock();
  if (!device) {
    throw KesBluetoothSDKLibError("BluetoothDevice no longer exists", details::kErrorGeneral);
  }
  return device;
}

uint16_t GattCharacteristic::Impl::LookUpValueHandle() const {
  return LockDevice()->GetCharacteristicHandle(m_serviceUuid, m_characteristicUuid);
}

template <class Operation>
auto GattCharacteristic::Impl::WithInvalidHandleRecovery(Operation operation) -> decltype(operation()) {
  try {
    return operation();
  } catch (const KesBluetoothSDKLibError& e) {
    if (e.code() != details::kErrorInvalidHandle) {
      throw;
    }
  }
  Log(kWarning, "GATT operation got 'invalid handle', so reset the device GATT database and try again");
  LockDevice()->ResetGattDatabaseForService(m_serviceUuid);
  return operation();
}

void GattCharacteristic::Impl::SetChangedCallback(ChangedCallback callback) {
  auto stored = callback ? std::make_shared<const ChangedCallback>(std::move(callback)) : nullptr;
  std::lock_guard lock(m_callbackMutex);
  m_changedCallback = std::move(stored);
}

std::shared_ptr<const GattCharacteristic::Impl::ChangedCallback> GattCharacteristic::Impl::ChangedCallbackCopy() const {
  std::lock_guard lock(m_callbackMutex);
  return m_changedCallback;
}

void GattCharacteristic::Impl::OnNotification(const details::CommonDataNotificationEvent_t* event) const {
  if (event == nullptr || event->connection != m_nativeHandle || event->attHandle != m_valueHandle) {
    return;
  }
  // The event lives until every subscriber has returned and is never
  // changed, so the callback reads its bytes in place.
  const std::vector<uint8_t>& data = event->data;
  if (Logger::IsEnabled()) {
    Log(kDebug, "Characteristic read:", event->connection, event->attHandle, ToString(data));
  }
  const auto callback = ChangedCallbackCopy();
  if (!callback) {
    return;
  }
  // This runs inside the bus's publish: an escaping exception would keep the
  // notification from every later subscriber.
  details::Count(details::Health().notificationsDelivered);
  details::CallApplication(kWarning, "characteristic changed callback", [&] { (*callback)(data); });
}

GattCharacteristic::GattCharacteristic(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

GattCharacteristic::~GattCharacteristic() = default;

Uuid GattCharacteristic::uuid() { return m_impl->m_characteristicUuid; }

std::vector<uint8_t> GattCharacteristic::ReadValue(bool shortValue) {
  const details::GattOutcomeCount counted;
  return m_impl->WithInvalidHandleRecovery([this, shortValue] {
    const uint16_t valueHandle = m_impl->LookUpValueHandle();
    const auto sdk = details::GetBluetoothSDK();
    return shortValue ? sdk->ReadByHandle(m_impl->m_handle, valueHandle) : sdk->ReadLong(m_impl->m_handle, valueHandle);
  });
}

void GattCharacteristic::WriteValue(const std::vector<uint8_t>& value, bool shortValue, bool withAck) {
  if (!shortValue) {
    // No radio operation exists for long writes; reporting success would hide the lost value.
    throw details::NotImplementedException();
  }
  if (withAck) {
    Log(kDebug, "WriteShortValue with ack");
    throw details::NotImplementedException();
  }
  const details::GattOutcomeCount counted;
  m_impl->WithInvalidHandleRecovery([this, &value] {
    const uint16_t valueHandle = m_impl->LookUpValueHandle();
    details::GetBluetoothSDK()->WriteCommand(m_impl->m_handle, valueHandle, value);
  });
}

void GattCharacteristic::SetCharacteristicChangedCallback(std::function<void(const std::vector<uint8_t>&)> callback) {
  m_impl->SetChangedCallback(std::move(callback));
}

void GattCharacteristic::EnableCharacteristicNotification(bool enable) {
  if (!m_impl->ChangedCallbackCopy()) {
    throw KesBluetoothSDKLibError("notification callback is not set", details::kErrorGeneral);
  }
  const std::vector<uint8_t>& value = enable ? kNotificationsOn : kNotificationsOff;
  const details::GattOutcomeCount counted;
  m_impl->WithInvalidHandleRecovery([this, &value] {
    const uint16_t valueHandle = m_impl->LookUpValueHandle();
    // The configuration descriptor is taken to follow the value attribute.
    details::GetBluetoothSDK()->AttributeWrite(m_impl->m_handle, static_cast<uint16_t>(valueHandle + 1), value);
  });
}

}  // namespace lumen
