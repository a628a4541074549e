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

DeviceRecord::DeviceRecord(std::shared_ptr<const AdvPacket> packet, int64_t nowMs)
    : m_packet(std::move(packet)), m_lastAdvertMs(nowMs) {
  m_rssiSamples.reserve(kMaxRssiSamples + 1);
  m_rssiSamples.push_back(TimestampedRSSI{nowMs, m_packet->rssi(), false});
}

DeviceRecord::~DeviceRecord() = default;

std::shared_ptr<const AdvPacket> DeviceRecord::packet() const {
  std::lock_guard lock(m_mutex);
  return m_packet;
}

Address DeviceRecord::address() const {
  std::lock_guard lock(m_mutex);
  return m_packet->address();
}

std::vector<unsigned char> DeviceRecord::advertisementData() const {
  std::lock_guard lock(m_mutex);
  return m_packet->data();
}

uint8_t DeviceRecord::packetType() const {
  std::lock_guard lock(m_mutex);
  return m_packet->packetType();
}

void DeviceRecord::AddSample(const TimestampedRSSI& sample) {
  std::lock_guard lock(m_mutex);
  m_rssiSamples.insert(m_rssiSamples.begin(), sample);
  if (m_rssiSamples.size() > kMaxRssiSamples) {
    m_rssiSamples.resize(kMaxRssiSamples);
  }
  if (!sample.fromConnection) {
    m_lastAdvertMs = sample.timestamp;
  }
  m_meanValid = false;
}

double DeviceRecord::MeanRssiLocked() {
  if (!m_meanValid) {
    const size_t count = std::min(kMeanSampleCount, m_rssiSamples.size());
    double sum = 0;
    for (size_t i = 0; i < count; ++i) {
      sum += m_rssiSamples[i].rssi;
    }
    m_mean = count == 0 ? 0.0 : sum / static_cast<double>(count);
    m_meanValid = true;
  }
  return m_mean;
}

double DeviceRecord::MeanRssi() {
  std::lock_guard lock(m_mutex);
  return MeanRssiLocked();
}

std::vector<TimestampedRSSI> DeviceRecord::RssiHistoryOldestFirst() const {
  std::lock_guard lock(m_mutex);
  return {m_rssiSamples.rbegin(), m_rssiSamples.rend()};
}

size_t DeviceRecord::SampleCount() const {
  std::lock_guard lock(m_mutex);
  return m_rssiSamples.size();
}

int64_t DeviceRecord::lastAdvertMs() const {
  std::lock_guard lock(m_mutex);
  return m_lastAdvertMs;
}

DeviceRecord::Snapshot DeviceRecord::TakeSnapshot() {
  std::lock_guard lock(m_mutex);
  Snapshot snapshot;
  snapshot.meanRssi = MeanRssiLocked();
  snapshot.newestSampleMs = m_rssiSamples.empty() ? 0 : m_rssiSamples.front().timestamp;
  snapshot.lastAdvertMs = m_lastAdvertMs;
  snapshot.consecutiveAdvertsWithoutUuid = m_consecutiveAdvertsWithoutUuid;
  snapshot.failedConnectionAttempts = m_failedConnectionAttempts;
  snapshot.discoveryAttempts = m_discoveryAttempts;
  snapshot.lastDiscoveryAttemptTime = m_lastDiscoveryAttemptTime;
  snapshot.strongestAttemptRssi = m_strongestAttemptRssi;
  snapshot.address = m_packet->address();
  return snapshot;
}

bool DeviceRecord::AddAdvertisedUuid(const Uuid& uuid) {
  std::lock_guard lock(m_mutex);
  m_consecutiveAdvertsWithoutUuid = 0;
  ++m_consecutiveUuidCount;
  if (std::any_of(m_advertisedUuids.begin(), m_advertisedUuids.end(),
                  [&uuid](const Uuid& known) { return known.EqualTo(uuid); })) {
    return false;
  }
  m_advertisedUuids.insert(m_advertisedUuids.begin(), uuid);
  return !uuid.IsShort();
}

uint64_t DeviceRecord::AddAdvertWithoutUuid() {
  std::lock_guard lock(m_mutex);
  m_consecutiveUuidCount = 0;
  return ++m_consecutiveAdvertsWithoutUuid;
}

std::vector<Uuid> DeviceRecord::advertisedUuids() const {
  std::lock_guard lock(m_mutex);
  return m_advertisedUuids;
}

bool DeviceRecord::HasAdvertisedUuid(const Uuid& uuid) const {
  std::lock_guard lock(m_mutex);
  return std::any_of(m_advertisedUuids.begin(), m_advertisedUuids.end(),
                     [&uuid](const Uuid& known) { return known.EqualTo(uuid); });
}

bool DeviceRecord::HasAnyAdvertisedUuid() const {
  std::lock_guard lock(m_mutex);
  return !m_advertisedUuids.empty();
}

uint64_t DeviceRecord::consecutiveAdvertsWithoutUuid() const {
  std::lock_guard lock(m_mutex);
  return m_consecutiveAdvertsWithoutUuid;
}

int64_t DeviceRecord::consecutiveUuidCount() const {
  std::lock_guard lock(m_mutex);
  return m_consecutiveUuidCount;
}

int32_t DeviceRecord::failedConnectionAttempts() const {
  std::lock_guard lock(m_mutex);
  return m_failedConnectionAttempts;
}

void DeviceRecord::ResetFailedConnectionAttempts() {
  std::lock_guard lock(m_mutex);
  m_failedConnectionAttempts = 0;
}

void DeviceRecord::IncrementFailedConnectionAttempts() {
  std::lock_guard lock(m_mutex);
  ++m_failedConnectionAttempts;
}

int32_t DeviceRecord::discoveryAttempts() const {
  std::lock_guard lock(m_mutex);
  return m_discoveryAttempts;
}

void DeviceRecord::BeginDiscoveryAttempt(int64_t nowTicks) {
  std::lock_guard lock(m_mutex);
  const double mean = MeanRssiLocked();
  if (m_discoveryAttempts == 0 || mean > m_strongestAttemptRssi) {
    m_strongestAttemptRssi = mean;
  }
  ++m_discoveryAttempts;
  m_lastDiscoveryAttemptTime = nowTicks;
}

void DeviceRecord::EndDiscoveryAttempt(bool succeeded) {
  std::lock_guard lock(m_mutex);
  if (succeeded) {
    m_failedConnectionAttempts = 0;
  } else {
    ++m_failedConnectionAttempts;
    m_consecutiveAdvertsWithoutUuid = 0;
  }
}

double DeviceRecord::GetMeanRSSIStrongestAttemptedServiceDiscovery() const {
  std::lock_guard lock(m_mutex);
  RequireDiscoveryAttempt(m_discoveryAttempts, "GetMeanRSSIStrongestAttemptedServiceDiscovery");
  return m_strongestAttemptRssi;
}

int64_t DeviceRecord::GetTimeMostRecentServiceDiscovery() const {
  std::lock_guard lock(m_mutex);
  RequireDiscoveryAttempt(m_discoveryAttempts, "GetTimeMostRecentServiceDiscovery");
  return m_lastDiscoveryAttemptTime;
}

void DeviceRecord::TakeRecordData(DeviceRecord& other) {
  if (&other == this) {
    return;
  }
  std::scoped_lock lock(m_mutex, other.m_mutex);
  m_packet = other.m_packet;
  m_meanValid = other.m_meanValid;
  m_mean = other.m_mean;
  m_advertisedUuids = other.m_advertisedUuids;
  m_consecutiveUuidCount = other.m_consecutiveUuidCount;
  m_consecutiveAdvertsWithoutUuid = other.m_consecutiveAdvertsWithoutUuid;
  m_lastAdvertMs = other.m_lastAdvertMs;
  m_discoveryAttempts = other.m_discoveryAttempts;
  m_lastDiscoveryAttemptTime = other.m_lastDiscoveryAttemptTime;
  m_strongestAttemptRssi = other.m_strongestAttemptRssi;
  m_failedConnectionAttempts = other.m_failedConnectionAttempts;
  m_rssiSamples = other.m_rssiSamples;
}

}  // namespace lumen::details
