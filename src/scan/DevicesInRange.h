#pragma once

#include <atomic>
#include <boost/core/noncopyable.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lumen/Address.h"
#include "lumen/ScanCallbacks.h"
#include "lumen/Uuid.h"
#include "scan/DeviceRecord.h"

namespace lumen::details {

class AdvPacket;

// One scanner's memory of what the radio hears: a record per advertising
// address, the scanner's jobs, which devices satisfy a job, and connection
// attempts to nearby devices that advertise no service UUID (phones in the
// background) to learn their services.
//
// Everything runs on the owning scanner's worker thread, except HasJobs and
// LastJobCancelTime, which any thread may call.
class DevicesInRange : private boost::noncopyable {
 public:
  // How long a silent, unconnected device still counts as present.
  static constexpr int64_t kRecentAdvertWindowMs = 15000;
  // Candidates for a service check need this mean RSSI (dBm) ...
  static constexpr double kMinCandidateRssi = -80.0;
  // ... and more than this many advertisements in a row without UUIDs.
  static constexpr uint64_t kMinAdvertsWithoutUuid = 3;
  // A device this much stronger (dB) than at its best attempt is tried again soon.
  static constexpr double kMovedCloserDb = 6.0;
  // No new connection attempt starts once a walk of candidates took this long.
  static constexpr int64_t kConnectBudgetTicks = 40'000'000;  // 4 s in 100 ns units

  DevicesInRange();
  ~DevicesInRange();

  // Inserts or replaces the job, then drops duplicate records of each detect UUID.
  void AddJob(const std::wstring& name, const std::set<Uuid>& uuids);
  // Records the cancellation time even when no such job exists.
  void CancelJob(const std::wstring& name);
  bool HasJobs() const;
  // System-clock ticks of the last cancellation or resolution; 0 before any.
  int64_t LastJobCancelTime() const;

  // Enters one advertisement. Returns the address's record and whether the
  // advertisement carried a 128-bit UUID the record had not seen.
  std::pair<std::shared_ptr<DeviceRecord>, bool> RegisterAdvPacket(std::shared_ptr<const AdvPacket> packet);
  // Receives each resolved job; the scanner's callback or a wrapper around it.
  using JobReport = std::function<void(const std::wstring& jobName, std::vector<std::shared_ptr<BluetoothDevice>>&)>;

  // Resolves the jobs against the cache (connecting to UUID-less phones when
  // a job has no usable match) and reports each resolved job once. A report
  // that throws is logged; the other jobs are still resolved and reported.
  void ProcessJobs(const JobReport& report);
  // Learns the services of UUID-less nearby devices; without force only while
  // no connection is open.
  void ConnectToDevicesNeedingServiceCheck(bool force);
  // Forgets unconnected devices silent for longer than timeoutMs.
  void ExpireCache(int timeoutMs);
  // If record's device is known under another address (same detect UUID),
  // the existing device takes over record's address and the new record is dropped.
  void CheckForMacSwitch(std::shared_ptr<DeviceRecord> record);

  size_t size() const { return m_records.size(); }
  std::shared_ptr<DeviceRecord> Find(const Address& address) const;

  using RecordList = std::vector<std::shared_ptr<DeviceRecord>>;
  // Test seams: the devices a tick would connect to for a service check, in
  // the order it would try them, and the matches of a job in report order.
  RecordList ServiceCheckCandidatesForTesting();
  RecordList MatchesForTesting(const std::set<Uuid>& uuids) { return MatchDevicesForJob(uuids); }

 private:
  // What the service-check order compares, read once per record.
  struct CandidateKey {
    bool eligible = false;  // never tried, or moved closer since
    double meanRssi = 0;
    int32_t failedConnectionAttempts = 0;
    int64_t lastDiscoveryAttemptTime = 0;
    Address address;        // ties are broken in address order
    uint32_t position = 0;  // in the candidate list
    static bool Before(const CandidateKey& a, const CandidateKey& b);
  };
  // Service-check candidates, handed out in order on demand.
  class Candidates {
   public:
    void Add(std::shared_ptr<DeviceRecord> record, CandidateKey key) {
      key.position = static_cast<uint32_t>(m_records.size());
      m_keys.push_back(key);
      m_records.push_back(std::move(record));
    }
    void Order();
    size_t size() const { return m_records.size(); }
    // The next in order; at most size() times after Order().
    std::shared_ptr<DeviceRecord> Next();
    RecordList TakeAll();
    void Clear();

   private:
    static bool After(const CandidateKey& a, const CandidateKey& b) { return CandidateKey::Before(b, a); }

    std::vector<CandidateKey> m_keys;
    RecordList m_records;
    size_t m_left = 0;
  };

  std::optional<Uuid> ResolveDetectUuid(const std::shared_ptr<DeviceRecord>& record);
  void RebuildJobUuids();
  RecordList MatchDevicesForJob(const std::set<Uuid>& uuids);
  Candidates DevicesNeedingServiceCheck();
  // Keeps the candidate lists' storage for the next tick.
  void Recycle(Candidates candidates);
  RecordList DevicesDetectedBy(const Uuid& uuid);
  // Every change of m_records goes through these, which keep m_walk in step.
  void Insert(const Address& address, std::shared_ptr<DeviceRecord> record);
  void Erase(const Address& address);
  // Erases record, found under its own address (or, failing that, anywhere).
  void EraseRecord(const DeviceRecord& record);
  bool AttemptServiceDiscovery(const std::shared_ptr<DeviceRecord>& record, bool force);
  // Walks candidates within the time budget; stops early when stopWhen says so.
  template <class StopWhen>
  void ConnectToCandidates(Candidates& candidates, int64_t startTicks, bool force, StopWhen stopWhen);
  void SetJobCount();

  std::map<Address, std::shared_ptr<DeviceRecord>> m_records;
  // The same records in a flat list (any order; each record knows its slot):
  // the tick's walks read it instead of chasing the map's nodes, and sort
  // what they keep by address, as a walk of the map would have found it.
  RecordList m_walk;
  std::set<Uuid> m_jobUuids;
  std::map<std::wstring, std::set<Uuid>> m_jobs;
  // Written by the worker beside m_jobs, read by any thread.
  std::atomic<int64_t> m_lastJobCancelTime{0};
  std::atomic<size_t> m_jobCount{0};
  // Worker-only scratch, kept between ticks.
  Candidates m_spareCandidates;
  std::vector<DeviceRecord::Snapshot> m_movedCloser;
  Uuid m_detectScratch;
};

}  // namespace lumen::details
