#include "scan/DeviceRecord.h"

#include <algorithm>
#include <string>
#include <utility>

#include "device/BluetoothDeviceImpl.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Errors.h"
#include "platform/Clock.h"
#include "scan/AdvPacket.h"

namespace lumen::details {

namespace {

// What an attempt records does not exist before the first one: asking for it
// then is the caller's bug.
void RequireDiscoveryAttempt(int32_t attempts, const char* getter) {
  if (attempts == 0) {
    throw KesBluetoothSDKLibError(
        std::string("programming error: ") + getter + " must not be called if no discovery attempts have been made",
        kErrorGeneral);
  }
}

}  // namespace

struct DeviceRecord::Allocated : DeviceRecord {
  Allocated(std::shared_ptr<const AdvPacket> packet, int64_t nowMs) : DeviceRecord(std::move(packet), nowMs) {}
};

std::shared_ptr<DeviceRecord> DeviceRecord::Create(std::shared_ptr<const AdvPacket> packet) {
  // One allocation: the tick's walks touch the count and the fields together.
  std::shared_ptr<DeviceRecord> record = std::make_shared<Allocated>(std::move(packet), SteadyMilliseconds());
  record->m_device.reset(new BluetoothDevice(std::make_unique<BluetoothDevice::Impl>(record)));
  return record;
}

DeviceRecord::DeviceRecord(std::shared_ptr<const AdvPacket> packet, int64_t nowMs) {
  m_data.packet = std::move(packet);
  m_data.history.lastAdvertMs = nowMs;
  m_data.rssiSamples.reserve(kMaxRssiSamples + 1);
  m_data.rssiSamples.push_back(TimestampedRSSI{nowMs, m_data.packet->rssi(), false});
}

DeviceRecord::~DeviceRecord() = default;

std::shared_ptr<const AdvPacket> DeviceRecord::packet() const {
  std::lock_guard lock(m_mutex);
  return m_data.packet;
}

Address DeviceRecord::address() const {
  std::lock_guard lock(m_mutex);
  return m_data.packet->address();
}

std::vector<unsigned char> DeviceRecord::advertisementData() const {
  std::lock_guard lock(m_mutex);
  return m_data.packet->data();
}

uint8_t DeviceRecord::packetType() const {
  std::lock_guard lock(m_mutex);
  return m_data.packet->packetType();
}

void DeviceRecord::AddSample(const TimestampedRSSI& sample) {
  std::lock_guard lock(m_mutex);
  m_data.rssiSamples.insert(m_data.rssiSamples.begin(), sample);
  if (m_data.rssiSamples.size() > kMaxRssiSamples) {
    m_data.rssiSamples.resize(kMaxRssiSamples);
  }
  if (!sample.fromConnection) {
    m_data.history.lastAdvertMs = sample.timestamp;
  }
  m_data.meanValid = false;
}

double DeviceRecord::MeanRssiLocked() {
  if (!m_data.meanValid) {
    const size_t count = std::min(kMeanSampleCount, m_data.rssiSamples.size());
    double sum = 0;
    for (size_t i = 0; i < count; ++i) {
      sum += m_data.rssiSamples[i].rssi;
    }
    m_data.mean = count == 0 ? 0.0 : sum / static_cast<double>(count);
    m_data.meanValid = true;
  }
  return m_data.mean;
}

double DeviceRecord::MeanRssi() {
  std::lock_guard lock(m_mutex);
  return MeanRssiLocked();
}

std::vector<TimestampedRSSI> DeviceRecord::RssiHistoryOldestFirst() const {
  std::lock_guard lock(m_mutex);
  return {m_data.rssiSamples.rbegin(), m_data.rssiSamples.rend()};
}

size_t DeviceRecord::SampleCount() const {
  std::lock_guard lock(m_mutex);
  return m_data.rssiSamples.size();
}

int64_t DeviceRecord::lastAdvertMs() const {
  std::lock_guard lock(m_mutex);
  return m_data.history.lastAdvertMs;
}

DeviceRecord::Snapshot DeviceRecord::TakeSnapshot() {
  std::lock_guard lock(m_mutex);
  Snapshot snapshot;
  snapshot.meanRssi = MeanRssiLocked();
  snapshot.newestSampleMs = m_data.rssiSamples.empty() ? 0 : m_data.rssiSamples.front().timestamp;
  snapshot.history = m_data.history;
  snapshot.address = m_data.packet->address();
  return snapshot;
}

bool DeviceRecord::AddAdvertisedUuid(const Uuid& uuid) {
  std::lock_guard lock(m_mutex);
  m_data.history.consecutiveAdvertsWithoutUuid = 0;
  ++m_data.consecutiveUuidCount;
  if (std::any_of(m_data.advertisedUuids.begin(), m_data.advertisedUuids.end(),
                  [&uuid](const Uuid& known) { return known.EqualTo(uuid); })) {
    return false;
  }
  m_data.advertisedUuids.insert(m_data.advertisedUuids.begin(), uuid);
  return !uuid.IsShort();
}

uint64_t DeviceRecord::AddAdvertWithoutUuid() {
  std::lock_guard lock(m_mutex);
  m_data.consecutiveUuidCount = 0;
  return ++m_data.history.consecutiveAdvertsWithoutUuid;
}

std::vector<Uuid> DeviceRecord::advertisedUuids() const {
  std::lock_guard lock(m_mutex);
  return m_data.advertisedUuids;
}

bool DeviceRecord::HasAdvertisedUuid(const Uuid& uuid) const {
  std::lock_guard lock(m_mutex);
  return std::any_of(m_data.advertisedUuids.begin(), m_data.advertisedUuids.end(),
                     [&uuid](const Uuid& known) { return known.EqualTo(uuid); });
}

bool DeviceRecord::HasAnyAdvertisedUuid() const {
  std::lock_guard lock(m_mutex);
  return !m_data.advertisedUuids.empty();
}

uint64_t DeviceRecord::consecutiveAdvertsWithoutUuid() const {
  std::lock_guard lock(m_mutex);
  return m_data.history.consecutiveAdvertsWithoutUuid;
}

int64_t DeviceRecord::consecutiveUuidCount() const {
  std::lock_guard lock(m_mutex);
  return m_data.consecutiveUuidCount;
}

int32_t DeviceRecord::failedConnectionAttempts() const {
  std::lock_guard lock(m_mutex);
  return m_data.history.failedConnectionAttempts;
}

void DeviceRecord::ResetFailedConnectionAttempts() {
  std::lock_guard lock(m_mutex);
  m_data.history.failedConnectionAttempts = 0;
}

void DeviceRecord::IncrementFailedConnectionAttempts() {
  std::lock_guard lock(m_mutex);
  ++m_data.history.failedConnectionAttempts;
}

int32_t DeviceRecord::discoveryAttempts() const {
  std::lock_guard lock(m_mutex);
  return m_data.history.discoveryAttempts;
}

void DeviceRecord::BeginDiscoveryAttempt(int64_t nowTicks) {
  std::lock_guard lock(m_mutex);
  const double mean = MeanRssiLocked();
  if (m_data.history.discoveryAttempts == 0 || mean > m_data.history.strongestAttemptRssi) {
    m_data.history.strongestAttemptRssi = mean;
  }
  ++m_data.history.discoveryAttempts;
  m_data.history.lastDiscoveryAttemptTime = nowTicks;
}

void DeviceRecord::EndDiscoveryAttempt(bool succeeded) {
  std::lock_guard lock(m_mutex);
  if (succeeded) {
    m_data.history.failedConnectionAttempts = 0;
  } else {
    ++m_data.history.failedConnectionAttempts;
    m_data.history.consecutiveAdvertsWithoutUuid = 0;
  }
}

double DeviceRecord::GetMeanRSSIStrongestAttemptedServiceDiscovery() const {
  std::lock_guard lock(m_mutex);
  RequireDiscoveryAttempt(m_data.history.discoveryAttempts, "GetMeanRSSIStrongestAttemptedServiceDiscovery");
  return m_data.history.strongestAttemptRssi;
}

int64_t DeviceRecord::GetTimeMostRecentServiceDiscovery() const {
  std::lock_guard lock(m_mutex);
  RequireDiscoveryAttempt(m_data.history.discoveryAttempts, "GetTimeMostRecentServiceDiscovery");
  return m_data.history.lastDiscoveryAttemptTime;
}

void DeviceRecord::TakeRecordData(DeviceRecord& other) {
  if (&other == this) {
    return;
  }
  std::scoped_lock lock(m_mutex, other.m_mutex);
  m_data = other.m_data;
}

}  // namespace lumen::details
