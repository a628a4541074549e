#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "lumen/BluetoothDevice.h"
#include "lumen/DeviceConnectionHandle.h"
#include "lumen/ProviderTypes.h"
#include "lumen/Uuid.h"

namespace lumen::details {
class DeviceRecord;
}

namespace lumen {

// System-clock ticks (100 ns since 1970) as a time point; ticks come from the
// clock seam so tests can drive them.
inline std::chrono::system_clock::time_point TimePointFromTicks(int64_t ticks) {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(Ticks(ticks)));
}

// One service in a device's GATT cache; characteristics stay empty until
// first asked for.
struct ServiceEntry {
  uint16_t startHandle = 0;
  uint16_t endHandle = 0;
  Uuid uuid;
  std::vector<AttHandleItem> characteristics;
};

class BluetoothDevice::Impl {
 public:
  explicit Impl(std::weak_ptr<details::DeviceRecord> record) : m_record(std::move(record)) {}

  details::DeviceConnectionHandle Handle() const {
    std::lock_guard lock(m_mutex);
    return m_handle;
  }

  std::weak_ptr<details::DeviceRecord> m_record;
  details::DeviceConnectionHandle m_handle;
  std::map<Uuid, ServiceEntry> m_services;
  std::chrono::system_clock::time_point m_lastServiceDiscovery{};
  Uuid m_serviceUuidUsedToDetect;
  bool m_hasServiceUuidUsedToDetect = false;
  bool m_rssiHistoryPending = true;
  // Guards every field but m_record; never held across a provider call.
  mutable std::recursive_mutex m_mutex;
};

}  // namespace lumen
