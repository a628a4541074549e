#pragma once

#include <boost/core/noncopyable.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "lumen/Address.h"
#include "lumen/ProviderTypes.h"
#include "lumen/Uuid.h"

namespace lumen {
class BluetoothDevice;
}

namespace lumen::details {

class AdvPacket;

// What the scanner has heard from one address: its first advertisement, RSSI
// history, advertised UUIDs and the counters that decide whom to connect to.
// The devices-in-range cache owns it; the application's BluetoothDevice
// reaches it from other threads, so every field is read and written under
// the record's own lock.
class DeviceRecord : private boost::noncopyable {
 public:
  static constexpr size_t kMaxRssiSamples = 15;
  static constexpr size_t kMeanSampleCount = 3;

  // When the device last advertised and how tries to connect to it went.
  struct History {
    int64_t lastAdvertMs = 0;
    uint64_t consecutiveAdvertsWithoutUuid = 0;
    int32_t failedConnectionAttempts = 0;
    int32_t discoveryAttempts = 0;
    int64_t lastDiscoveryAttemptTime = 0;
    double strongestAttemptRssi = 0;
  };

  // The values the cache's orderings compare, read under one lock so that a
  // sort sees consistent keys while other threads add samples.
  struct Snapshot {
    double meanRssi = 0;
    int64_t newestSampleMs = 0;
    History history;
    Address address;
  };

  // A record and its device for the address of packet, holding one sample
  // (now, the packet's RSSI) with lastAdvertMs = now.
  static std::shared_ptr<DeviceRecord> Create(std::shared_ptr<const AdvPacket> packet);
  ~DeviceRecord();

  // Fixed at creation; never replaced, so no lock is needed.
  const std::shared_ptr<BluetoothDevice>& device() const { return m_device; }

  std::shared_ptr<const AdvPacket> packet() const;
  Address address() const;
  std::vector<unsigned char> advertisementData() const;
  uint8_t packetType() const;

  // Newest first; keeps the newest kMaxRssiSamples. Samples taken on a
  // connection do not move lastAdvertMs.
  void AddSample(const TimestampedRSSI& sample);
  // Mean of the newest kMeanSampleCount samples.
  double MeanRssi();
  std::vector<TimestampedRSSI> RssiHistoryOldestFirst() const;
  size_t SampleCount() const;
  int64_t lastAdvertMs() const;
  Snapshot TakeSnapshot();

  // An advertisement carried uuid. True when it is a 128-bit UUID this record
  // had not seen; a known UUID or a short one answers false.
  bool AddAdvertisedUuid(const Uuid& uuid);
  // An advertisement carried no UUID list; returns the new run length.
  uint64_t AddAdvertWithoutUuid();
  std::vector<Uuid> advertisedUuids() const;
  bool HasAdvertisedUuid(const Uuid& uuid) const;
  bool HasAnyAdvertisedUuid() const;
  uint64_t consecutiveAdvertsWithoutUuid() const;
  int64_t consecutiveUuidCount() const;

  int32_t failedConnectionAttempts() const;
  void ResetFailedConnectionAttempts();
  void IncrementFailedConnectionAttempts();

  int32_t discoveryAttempts() const;
  // Bookkeeping before a service-discovery attempt at system-clock time nowTicks.
  void BeginDiscoveryAttempt(int64_t nowTicks);
  // A success clears the failures; a failure also restarts the count of
  // advertisements without UUIDs.
  void EndDiscoveryAttempt(bool succeeded);
  double GetMeanRSSIStrongestAttemptedServiceDiscovery() const;
  int64_t GetTimeMostRecentServiceDiscovery() const;

  // Takes every field of other except the device: this record then answers
  // to other's address with other's history.
  void TakeRecordData(DeviceRecord& other);

  // Where the owning cache keeps this record in its walk list; only the
  // cache's worker thread reads or writes it.
  size_t cacheSlot() const { return m_cacheSlot; }
  void setCacheSlot(size_t slot) { m_cacheSlot = slot; }

 private:
  struct Allocated;  // the record and its reference count in one allocation
  DeviceRecord(std::shared_ptr<const AdvPacket> packet, int64_t nowMs);
  double MeanRssiLocked();

  std::shared_ptr<BluetoothDevice> m_device;
  // Everything TakeRecordData hands over: the device and the lock stay.
  struct Data {
    std::shared_ptr<const AdvPacket> packet;
    std::vector<TimestampedRSSI> rssiSamples;
    bool meanValid = false;
    double mean = 0;
    std::vector<Uuid> advertisedUuids;
    int64_t consecutiveUuidCount = 0;
    History history;
  };
  Data m_data;
  mutable std::recursive_mutex m_mutex;
  size_t m_cacheSlot = 0;
};

}  // namespace lumen::details
