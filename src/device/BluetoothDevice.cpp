#include "lumen/BluetoothDevice.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/BluetoothSDK.h"
#include "core/ConnectionTable.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "device/BluetoothDeviceImpl.h"
#include "device/GattServiceImpl.h"
#include "lumen/BGLibError.h"
#include "lumen/Errors.h"
#include "lumen/GattService.h"
#include "platform/Clock.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"
#include "scan/ScanStatistics.h"

namespace lumen {

using details::DeviceRecord;
using details::kDebug;
using details::kError;
using details::KesBluetoothSDKLibError;
using details::kInfo;
using details::kWarning;
using details::Log;

namespace {

// Connection parameters of every connection attempt.
constexpr uint16_t kConnIntervalMinUnits1250us = 20;    // 25 ms
constexpr uint16_t kConnIntervalMaxUnits1250us = 40;    // 50 ms
constexpr uint16_t kSupervisionTimeoutUnits10ms = 500;  // 5 s
constexpr uint16_t kSlaveLatency = 0;

const char* const kRecordGone = "DeviceRecord object is not valid";

std::mutex g_lastAttemptMutex;
int64_t g_lastAttemptTicks = 0;

std::shared_ptr<DeviceRecord> LockRecordOrWarn(const std::weak_ptr<DeviceRecord>& weak) {
  std::shared_ptr<DeviceRecord> record = weak.lock();
  if (!record) {
    Log(kWarning, kRecordGone);
  }
  return record;
}

// For log lines only: no warning when the record is gone.
std::string AddressText(const std::weak_ptr<DeviceRecord>& weak) {
  const std::shared_ptr<DeviceRecord> record = weak.lock();
  return record ? record->address().ToString() : std::string();
}

KesBluetoothSDKLibError GeneralError(const char* text) { return KesBluetoothSDKLibError(text, details::kErrorGeneral); }

}  // namespace

BluetoothDevice::BluetoothDevice(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

BluetoothDevice::~BluetoothDevice() {
  try {
    if (IsConnected()) {
      Disconnect();
    }
  } catch (const details::BGLibError& e) {
    Log(kError, std::string("caught BGLibError exception in BluetoothDevice::~BluetoothDevice: ") + e.what());
  } catch (const std::exception& e) {
    Log(kError, std::string("caught exception in BluetoothDevice::~BluetoothDevice: ") + e.what());
  } catch (...) {
    Log(kError, "caught exception in BluetoothDevice::~BluetoothDevice: unknown exception");
  }
}

void BluetoothDevice::Connect() {
  details::ScanStatistics::Instance().EndPeriod();
  {
    std::lock_guard lock(g_lastAttemptMutex);
    g_lastAttemptTicks = details::SystemClockTicks();
  }
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  if (!record) {
    // Without the record there is no address to connect to; returning would
    // report a connection that was never made.
    throw GeneralError(kRecordGone);
  }
  const Address address = record->address();
  if (IsConnected()) {
    Log(kDebug, "do not connect because already connected, MAC =", address.ToString());
  } else {
    try {
      const std::vector<TimestampedRSSI> history = record->RssiHistoryOldestFirst();
      details::DeviceConnectionHandle newHandle;
      details::GetBluetoothSDK()->ConnectDirect(newHandle, history, address, kConnIntervalMinUnits1250us,
                                                kConnIntervalMaxUnits1250us, kSupervisionTimeoutUnits10ms,
                                                kSlaveLatency);
      details::Count(details::Health().connectionsMade);
      record->ResetFailedConnectionAttempts();
      Log(kDebug, "Bluetooth device connect success", address.ToString(), "connection handle =", newHandle.id());
      std::lock_guard lock(m_impl->m_mutex);
      m_impl->m_handle = newHandle;
      // The advertisement history is handed out once per connection.
      m_impl->m_rssiHistoryPending = true;
    } catch (...) {
      details::Count(details::Health().connectionsFailed);
      record->IncrementFailedConnectionAttempts();
      throw;
    }
  }
  try {
    GetServices();
  } catch (...) {
    Log(kInfo, "Failed to renew service items during a connection attempt");
    throw;
  }
}

void BluetoothDevice::Disconnect() {
  Log(kDebug, "Bluetooth device disconnect request", AddressText(m_impl->m_record));
  {
    std::lock_guard lock(m_impl->m_mutex);
    m_impl->m_rssiHistoryPending = true;
  }
  details::GetBluetoothSDK()->Disconnect(m_impl->Handle());
}

bool BluetoothDevice::IsConnected() const { return m_impl->Handle().IsConnected(); }

Address BluetoothDevice::address() {
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  return record ? record->address() : Address();
}

std::vector<uint8_t> BluetoothDevice::advertisement_data() {
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  return record ? record->advertisementData() : std::vector<uint8_t>();
}

void BluetoothDevice::GetAdvertUuids(std::vector<Uuid>& out) {
  out.clear();
  if (const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record)) {
    out = record->advertisedUuids();
  }
}

bool BluetoothDevice::HasAdvertUuid(const Uuid& uuid) const {
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  if (!record) {
    return false;
  }
  const std::vector<Uuid> advertised = record->advertisedUuids();
  for (const Uuid& known : advertised) {
    Log(kDebug, "checking:", known.ToString(), uuid.ToString());
    if (known.EqualTo(uuid)) {
      return true;
    }
  }
  return false;
}

bool BluetoothDevice::HasUuidInAdvert() const {
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  return record && record->HasAnyAdvertisedUuid();
}

uint64_t BluetoothDevice::GetConsecutiveAdvertsWithoutUuidCount() const {
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  return record ? record->consecutiveAdvertsWithoutUuid() : 0;
}

bool BluetoothDevice::IsConnectable() const {
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  if (!record) {
    return false;
  }
  const uint8_t type = record->packetType();
  Log(kDebug, "Device Packet Type:", type);
  return type == 0;
}

bool BluetoothDevice::IsRandomAddress() const {
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  return record && record->address().type() == Address::Random;
}

void BluetoothDevice::UpdateRSSI(int64_t timestamp, int8_t rssi) {
  if (const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record)) {
    record->AddSample(TimestampedRSSI{timestamp, rssi, false});
  }
}

double BluetoothDevice::MeanRssi() {
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  return record ? record->MeanRssi() : 0.0;
}

bool BluetoothDevice::GetRSSIFromConnection(std::vector<TimestampedRSSI>& out) {
  out.clear();
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  if (!record) {
    return false;
  }
  const details::DeviceConnectionHandle handle = m_impl->Handle();
  if (!handle.IsConnected()) {
    return false;
  }
  int8_t rssi = 0;
  if (!details::GetBluetoothSDK()->GetRSSI(handle, &rssi)) {
    return false;
  }
  {
    std::lock_guard lock(m_impl->m_mutex);
    if (m_impl->m_rssiHistoryPending) {
      out = record->RssiHistoryOldestFirst();
      m_impl->m_rssiHistoryPending = false;
    }
  }
  const TimestampedRSSI sample{details::SteadyMilliseconds(), rssi, true};
  record->AddSample(sample);
  out.push_back(sample);
  return true;
}

void BluetoothDevice::GetServices() {
  const std::vector<AttGroupItem> found = [this] {
    const details::GattOutcomeCount counted;
    return details::GetBluetoothSDK()->GetListOfServices(m_impl->Handle());
  }();
  std::lock_guard lock(m_impl->m_mutex);
  m_impl->m_services.clear();
  for (const AttGroupItem& item : found) {
    m_impl->m_services[item.uuid] = ServiceEntry{item.startHandle, item.endHandle, item.uuid, {}};
  }
  m_impl->m_lastServiceDiscovery = TimePointFromTicks(details::SystemClockTicks());
  Log(kDebug, "device MAC =", AddressText(m_impl->m_record), "has #services =", m_impl->m_services.size());
}

bool BluetoothDevice::HasServices() const {
  std::lock_guard lock(m_impl->m_mutex);
  return !m_impl->m_services.empty();
}

bool BluetoothDevice::HasService(const Uuid& service) {
  if (!HasServices()) {
    GetServices();
  }
  return ServicesContainUUID(service);
}

bool BluetoothDevice::ServicesContainUUID(const Uuid& service) {
  std::lock_guard lock(m_impl->m_mutex);
  return m_impl->m_services.count(service) != 0;
}

std::vector<Uuid> BluetoothDevice::GetServiceUuids() {
  if (!HasServices()) {
    GetServices();
  }
  std::lock_guard lock(m_impl->m_mutex);
  std::vector<Uuid> uuids;
  uuids.reserve(m_impl->m_services.size());
  for (const auto& entry : m_impl->m_services) {
    uuids.push_back(entry.first);
  }
  return uuids;
}

std::unique_ptr<GattService> BluetoothDevice::GetService(const Uuid& service) {
  if (!HasServices()) {
    GetServices();
  }
  {
    std::lock_guard lock(m_impl->m_mutex);
    if (m_impl->m_services.count(service) == 0) {
      Log(kWarning,
          "service UUID is no longer present on the device, so it has been removed from the GATT database of the "
          "device");
      throw GeneralError("service UUID not found");
    }
  }
  if (!m_impl->m_record.lock()) {
    throw GeneralError("device no longer exists");
  }
  return std::unique_ptr<GattService>(
      new GattService(std::make_unique<GattService::Impl>(weak_from_this(), service, m_impl->Handle())));
}

namespace {

// Fills the characteristics of one service unless they are cached already.
void DiscoverCharacteristics(BluetoothDevice& device, BluetoothDevice::Impl& impl, const Uuid& service) {
  {
    std::lock_guard lock(impl.m_mutex);
    const auto entry = impl.m_services.find(service);
    if (entry != impl.m_services.end() && !entry->second.characteristics.empty()) {
      return;
    }
  }
  if (!device.HasServices()) {
    device.GetServices();
  }
  uint16_t startHandle = 0;
  uint16_t endHandle = 0;
  {
    std::lock_guard lock(impl.m_mutex);
    const auto entry = impl.m_services.find(service);
    if (entry == impl.m_services.end()) {
      throw GeneralError("service not found");
    }
    startHandle = entry->second.startHandle;
    endHandle = entry->second.endHandle;
  }
  std::vector<AttHandleItem> found = [&] {
    const details::GattOutcomeCount counted;
    return details::GetBluetoothSDK()->GetListOfCharacteristics(impl.Handle(), startHandle, endHandle);
  }();
  for (const AttHandleItem& item : found) {
    Log(kInfo, "Characteristic:", item.attHandle, item.uuid.ToString());
  }
  std::lock_guard lock(impl.m_mutex);
  // operator[] recreates the entry if the cache was cleared meanwhile.
  impl.m_services[service].characteristics = std::move(found);
}

}  // namespace

void BluetoothDevice::GetCharacteristicUUIDs(const Uuid& service, std::vector<Uuid>& out) {
  DiscoverCharacteristics(*this, *m_impl, service);
  std::lock_guard lock(m_impl->m_mutex);
  const auto entry = m_impl->m_services.find(service);
  if (entry == m_impl->m_services.end()) {
    throw GeneralError("service UUID is not known");
  }
  for (const AttHandleItem& item : entry->second.characteristics) {
    out.push_back(item.uuid);
  }
}

uint16_t BluetoothDevice::GetCharacteristicHandle(const Uuid& service, const Uuid& characteristic) {
  DiscoverCharacteristics(*this, *m_impl, service);
  std::lock_guard lock(m_impl->m_mutex);
  const auto entry = m_impl->m_services.find(service);
  if (entry != m_impl->m_services.end()) {
    for (const AttHandleItem& item : entry->second.characteristics) {
      if (item.uuid.EqualTo(characteristic)) {
        return item.attHandle;
      }
    }
  }
  throw GeneralError("service UUID is not known");
}

void BluetoothDevice::ResetGattDatabaseForService(const Uuid& service) {
  {
    std::lock_guard lock(m_impl->m_mutex);
    m_impl->m_services.clear();
  }
  GetServices();
  DiscoverCharacteristics(*this, *m_impl, service);
}

std::chrono::system_clock::time_point BluetoothDevice::GetLastTimeDiscoveredServices() {
  std::lock_guard lock(m_impl->m_mutex);
  return m_impl->m_lastServiceDiscovery;
}

std::chrono::system_clock::time_point BluetoothDevice::GetTimeLastAttemptedConnection() {
  std::lock_guard lock(g_lastAttemptMutex);
  return TimePointFromTicks(g_lastAttemptTicks);
}

void BluetoothDevice::SetServiceUuidUsedToDetect(const Uuid& uuid) {
  Log(kDebug, "MAC =", AddressText(m_impl->m_record), "has service UUID =", uuid.ToString());
  std::lock_guard lock(m_impl->m_mutex);
  m_impl->m_serviceUuidUsedToDetect = uuid;
  m_impl->m_hasServiceUuidUsedToDetect = true;
}

bool BluetoothDevice::GetServiceUuidUsedToDetect(Uuid& out) {
  std::lock_guard lock(m_impl->m_mutex);
  if (m_impl->m_hasServiceUuidUsedToDetect) {
    out = m_impl->m_serviceUuidUsedToDetect;
  }
  return m_impl->m_hasServiceUuidUsedToDetect;
}

void BluetoothDevice::TakeNewMACInfo(BluetoothDevice* pNewDevice) {
  const std::shared_ptr<DeviceRecord> record = LockRecordOrWarn(m_impl->m_record);
  if (!record) {
    return;
  }
  if (pNewDevice == nullptr) {
    Log(kError, "TakeNewMACInfo failed, invalid pNewDevice parameter");
    return;
  }
  const std::string oldAddress = record->address().ToString();
  const std::string newAddress = AddressText(pNewDevice->m_impl->m_record);
  if (pNewDevice != this) {
    std::scoped_lock lock(m_impl->m_mutex, pNewDevice->m_impl->m_mutex);
    m_impl->m_services = pNewDevice->m_impl->m_services;
    m_impl->m_lastServiceDiscovery = pNewDevice->m_impl->m_lastServiceDiscovery;
  }
  const bool thisConnected = IsConnected();
  if (pNewDevice->IsConnected()) {
    if (thisConnected) {
      Log(kDebug, "new MAC = ", newAddress, "is connected, disconnect old MAC =", oldAddress);
      try {
        Disconnect();
      } catch (const std::exception& e) {
        const std::string text = e.what();
        if (text.find("no response") != std::string::npos) {
          Log(kWarning, "Disconnect exception: " + text);
        }
      }
    } else {
      Log(kDebug, "new MAC = ", newAddress, "is connected, use that connection");
    }
    const details::DeviceConnectionHandle newDeviceHandle = pNewDevice->m_impl->Handle();
    std::lock_guard lock(m_impl->m_mutex);
    details::TakeOverConnection(m_impl->m_handle, newDeviceHandle);
  } else {
    Log(kDebug, "new MAC = ", newAddress,
        thisConnected ? "is not connected, continue using connection to old MAC ="
                      : "is not connected, nor is the old MAC =",
        oldAddress);
  }
  if (const std::shared_ptr<DeviceRecord> newRecord = LockRecordOrWarn(pNewDevice->m_impl->m_record)) {
    record->TakeRecordData(*newRecord);
  }
}

}  // namespace lumen
