#include "scan/DevicesInRange.h"

#include <algorithm>
#include <exception>
#include <string>

#include "core/ConnectionTable.h"
#include "core/Event.h"
#include "core/Log.h"
#include "lumen/AdvDataHelper.h"
#include "lumen/Advertiser.h"
#include "lumen/BluetoothDevice.h"
#include "platform/Clock.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"

namespace lumen::details {
namespace {

const char* const kRegister = "lumen::details::DevicesInRange::RegisterAdvPacket";

// A record with the keys an ordering compares, read once before sorting.
struct Entry {
  std::shared_ptr<DeviceRecord> record;
  bool connected = false;
  DeviceRecord::Snapshot snapshot;
};

Entry MakeEntry(const std::shared_ptr<DeviceRecord>& record) {
  return Entry{record, record->device()->IsConnected(), record->TakeSnapshot()};
}

std::string AddressText(const Entry& entry) { return entry.record->address().ToString(); }

std::vector<std::shared_ptr<DeviceRecord>> Records(const std::vector<Entry>& entries) {
  std::vector<std::shared_ptr<DeviceRecord>> records;
  records.reserve(entries.size());
  for (const Entry& entry : entries) {
    records.push_back(entry.record);
  }
  return records;
}

// Connected devices first, then fewer failed attempts, then stronger signal.
bool ConnectionOrder(const Entry& a, const Entry& b) {
  if (a.connected != b.connected) {
    if (a.connected && Logger::IsEnabled()) {
      Log(kDebug, "ordering device earlier because it is connected: ", AddressText(a));
    }
    return a.connected;
  }
  if (a.snapshot.history.failedConnectionAttempts != b.snapshot.history.failedConnectionAttempts) {
    const bool fewer = a.snapshot.history.failedConnectionAttempts < b.snapshot.history.failedConnectionAttempts;
    if (fewer && Logger::IsEnabled()) {
      Log(kDebug, "ordering device earlier because it has fewer recent failed connection attempts: ", AddressText(a));
    }
    return fewer;
  }
  return a.snapshot.meanRssi > b.snapshot.meanRssi;
}

// Of two records for one detect UUID: the connected one, else the one heard last.
bool SameUuidOrder(const Entry& a, const Entry& b) {
  if (a.connected != b.connected) {
    return a.connected;
  }
  return a.snapshot.newestSampleMs > b.snapshot.newestSampleMs;
}

bool MovedCloser(const DeviceRecord::Snapshot& s) {
  return s.history.discoveryAttempts != 0 &&
         s.meanRssi >= s.history.strongestAttemptRssi + DevicesInRange::kMovedCloserDb;
}

}  // namespace

// Never tried or moved closer first (stronger first); then fewer failures,
// then the one tried longest ago; then address order, as a stable sort of the
// address-ordered cache would leave them. A strict total order, so a heap
// hands candidates out in exactly the order a full sort would.
bool DevicesInRange::CandidateKey::Before(const CandidateKey& a, const CandidateKey& b) {
  if (a.eligible != b.eligible) {
    return a.eligible;
  }
  if (a.eligible) {
    if (a.meanRssi != b.meanRssi) {
      return a.meanRssi > b.meanRssi;
    }
  } else {
    if (a.failedConnectionAttempts != b.failedConnectionAttempts) {
      return a.failedConnectionAttempts < b.failedConnectionAttempts;
    }
    if (a.lastDiscoveryAttemptTime != b.lastDiscoveryAttemptTime) {
      return a.lastDiscoveryAttemptTime < b.lastDiscoveryAttemptTime;
    }
  }
  return a.address < b.address;
}

void DevicesInRange::Candidates::Order() {
  // Only the first few are usually tried before the time budget runs out:
  // a heap costs linear time up front and log n per candidate taken.
  std::make_heap(m_keys.begin(), m_keys.end(), After);
  m_left = m_keys.size();
}

std::shared_ptr<DeviceRecord> DevicesInRange::Candidates::Next() {
  std::pop_heap(m_keys.begin(), m_keys.begin() + static_cast<std::ptrdiff_t>(m_left), After);
  --m_left;
  return m_records[m_keys[m_left].position];
}

std::vector<std::shared_ptr<DeviceRecord>> DevicesInRange::Candidates::TakeAll() {
  std::vector<std::shared_ptr<DeviceRecord>> ordered;
  ordered.reserve(m_left);
  while (m_left != 0) {
    ordered.push_back(Next());
  }
  return ordered;
}

void DevicesInRange::Candidates::Clear() {
  m_keys.clear();
  m_records.clear();
  m_left = 0;
}

namespace {

std::optional<Uuid> DetectUuid(const std::shared_ptr<DeviceRecord>& record) {
  Uuid uuid;
  if (record->device()->GetServiceUuidUsedToDetect(uuid)) {
    return uuid;
  }
  return std::nullopt;
}

// The walks are bound by memory latency: ask for a record a few steps ahead.
constexpr size_t kPrefetchDistance = 8;

inline void Prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

inline void PrefetchAhead(const std::vector<std::shared_ptr<DeviceRecord>>& walk, size_t i) {
  if (i + kPrefetchDistance < walk.size()) {
    Prefetch(walk[i + kPrefetchDistance].get());
  }
  // The record asked for earlier has arrived by now: its device object next.
  if (i + kPrefetchDistance / 2 < walk.size()) {
    Prefetch(walk[i + kPrefetchDistance / 2]->device().get());
  }
}

bool ByAddress(const Entry& a, const Entry& b) { return a.snapshot.address < b.snapshot.address; }

}  // namespace

DevicesInRange::DevicesInRange() = default;
DevicesInRange::~DevicesInRange() = default;

void DevicesInRange::SetJobCount() { m_jobCount.store(m_jobs.size()); }

void DevicesInRange::AddJob(const std::wstring& name, const std::set<Uuid>& uuids) {
  m_jobs[name] = uuids;
  SetJobCount();
  RebuildJobUuids();
}

void DevicesInRange::CancelJob(const std::wstring& name) {
  m_lastJobCancelTime.store(SystemClockTicks());
  m_jobs.erase(name);
  SetJobCount();
}

bool DevicesInRange::HasJobs() const { return m_jobCount.load() != 0; }

int64_t DevicesInRange::LastJobCancelTime() const { return m_lastJobCancelTime.load(); }

void DevicesInRange::Insert(const Address& address, std::shared_ptr<DeviceRecord> record) {
  Erase(address);
  record->setCacheSlot(m_walk.size());
  m_walk.push_back(record);
  m_records.emplace(address, std::move(record));
}

void DevicesInRange::Erase(const Address& address) {
  const auto it = m_records.find(address);
  if (it == m_records.end()) {
    return;
  }
  const size_t slot = it->second->cacheSlot();
  if (slot < m_walk.size() && m_walk[slot] == it->second) {
    m_walk[slot] = std::move(m_walk.back());
    m_walk[slot]->setCacheSlot(slot);
    m_walk.pop_back();
  }
  m_records.erase(it);
}

void DevicesInRange::EraseRecord(const DeviceRecord& record) {
  const Address address = record.address();
  const auto it = m_records.find(address);
  if (it != m_records.end() && it->second.get() == &record) {
    Erase(address);
    return;
  }
  for (const auto& [key, held] : m_records) {
    if (held.get() == &record) {
      Erase(key);
      return;
    }
  }
}

std::shared_ptr<DeviceRecord> DevicesInRange::Find(const Address& address) const {
  const auto it = m_records.find(address);
  return it == m_records.end() ? nullptr : it->second;
}

std::pair<std::shared_ptr<DeviceRecord>, bool> DevicesInRange::RegisterAdvPacket(
    std::shared_ptr<const AdvPacket> packet) {
  const Address& address = packet->address();
  const bool logging = Logger::IsEnabled();
  const std::string macText = logging ? address.ToString() : std::string();
  std::vector<Uuid> uuids;
  const bool hasUuids = AdvDataHelper::GetUuidsIfContains(packet->data(), uuids, macText);

  std::shared_ptr<DeviceRecord> record;
  bool isNew = false;
  const auto found = m_records.find(address);
  if (found == m_records.end()) {
    record = DeviceRecord::Create(packet);
    Insert(address, record);
    isNew = true;
  } else {
    record = found->second;
    record->AddSample(TimestampedRSSI{SteadyMilliseconds(), packet->rssi(), false});
  }

  bool newService = false;
  if (hasUuids) {
    Log(kDebug, kRegister, "Found", uuids.size(), "uuid(s) in the advertisement packet");
    for (const Uuid& uuid : uuids) {
      if (record->AddAdvertisedUuid(uuid)) {
        newService = true;
      } else if (!logging) {
        continue;
      } else if (isNew) {
        Log(kInfo, kRegister, "New device MAC:", macText, "RSSI:", packet->rssi(), "uuid:", uuid.ToString(),
            "contents:", ToString(packet->data()));
      } else {
        Log(kDebug, kRegister, "Previously seen MAC:", macText, "Updated record", "RSSI:", packet->rssi(),
            "uuid:", uuid.ToString(), "contents:", ToString(packet->data()));
      }
    }
  } else {
    const uint64_t count = record->AddAdvertWithoutUuid();
    if (logging && isNew) {
      Log(kInfo, kRegister, "New device MAC:", macText, "RSSI:", packet->rssi(), "advert without uuid count:", count,
          "contents:", ToString(packet->data()));
    } else if (logging) {
      Log(kDebug, kRegister, "Previously seen MAC:", macText, "Updated record", "RSSI:", packet->rssi(),
          "advert without uuid count:", count, "contents:", ToString(packet->data()));
    }
  }
  return {record, newService};
}

std::optional<Uuid> DevicesInRange::ResolveDetectUuid(const std::shared_ptr<DeviceRecord>& record) {
  if (std::optional<Uuid> known = DetectUuid(record)) {
    return known;
  }
  const std::shared_ptr<BluetoothDevice>& device = record->device();
  for (const Uuid& uuid : record->advertisedUuids()) {  // newest first
    if (m_jobUuids.count(uuid) != 0) {
      device->SetServiceUuidUsedToDetect(uuid);
      break;
    }
  }
  // A service found by connecting wins over an advertised one.
  for (const Uuid& uuid : m_jobUuids) {
    if (device->ServicesContainUUID(uuid)) {
      device->SetServiceUuidUsedToDetect(uuid);
      break;
    }
  }
  return DetectUuid(record);
}

DevicesInRange::RecordList DevicesInRange::DevicesDetectedBy(const Uuid& uuid) {
  RecordList records;
  for (const auto& [address, record] : m_records) {
    const std::optional<Uuid> detect = DetectUuid(record);
    if (detect && detect->EqualTo(uuid)) {
      records.push_back(record);
    }
  }
  return records;
}

void DevicesInRange::RebuildJobUuids() {
  m_jobUuids.clear();
  for (const auto& [name, uuids] : m_jobs) {
    m_jobUuids.insert(uuids.begin(), uuids.end());
  }
  std::set<Uuid> detected;
  for (const auto& [address, record] : m_records) {
    if (std::optional<Uuid> uuid = ResolveDetectUuid(record)) {
      detected.insert(std::move(*uuid));
    }
  }
  // One device per detect UUID: older addresses of a phone that changed its
  // address are dropped.
  for (const Uuid& uuid : detected) {
    const RecordList records = DevicesDetectedBy(uuid);
    if (records.size() < 2) {
      continue;
    }
    std::vector<Entry> entries;
    entries.reserve(records.size());
    for (const auto& record : records) {
      entries.push_back(MakeEntry(record));
    }
    std::stable_sort(entries.begin(), entries.end(), SameUuidOrder);
    for (size_t i = 1; i < entries.size(); ++i) {
      const Address address = entries[i].record->address();
      Log(kDebug, "remove old MAC =", address.ToString(), "for service UUID =", uuid.ToString());
      Erase(address);
    }
  }
}

DevicesInRange::RecordList DevicesInRange::MatchDevicesForJob(const std::set<Uuid>& uuids) {
  const int64_t now = SteadyMilliseconds();
  const int64_t cutoff = now - kRecentAdvertWindowMs;
  Uuid& detect = m_detectScratch;
  std::vector<Entry> found;
  for (size_t i = 0; i < m_walk.size(); ++i) {
    PrefetchAhead(m_walk, i);
    const std::shared_ptr<DeviceRecord>& record = m_walk[i];
    if (!record->device()->GetServiceUuidUsedToDetect(detect) || uuids.count(detect) == 0) {
      continue;
    }
    found.push_back(MakeEntry(record));
  }
  std::sort(found.begin(), found.end(), ByAddress);
  std::vector<Entry> matches;
  matches.reserve(found.size());
  for (Entry& entry : found) {
    if (!entry.connected && entry.snapshot.history.lastAdvertMs <= cutoff) {
      if (Logger::IsEnabled() && entry.record->device()->GetServiceUuidUsedToDetect(detect)) {
        Log(kDebug, "device ", entry.snapshot.address.ToString(), " has correct UUID ", detect.ToString(),
            "but is excluded because it last advertised at tick ", entry.snapshot.history.lastAdvertMs,
            ", current tick count =", now);
      }
      continue;
    }
    matches.push_back(std::move(entry));
  }
  std::stable_sort(matches.begin(), matches.end(), ConnectionOrder);
  return Records(matches);
}

DevicesInRange::Candidates DevicesInRange::DevicesNeedingServiceCheck() {
  const int64_t cutoff = SteadyMilliseconds() - kRecentAdvertWindowMs;
  const std::chrono::system_clock::time_point lastStopAdvertising = Advertiser::GetLastStopAdvertisingTime();
  const bool logging = Logger::IsEnabled();
  Candidates candidates = std::move(m_spareCandidates);
  candidates.Clear();
  for (size_t i = 0; i < m_walk.size(); ++i) {
    PrefetchAhead(m_walk, i);
    const std::shared_ptr<DeviceRecord>& record = m_walk[i];
    // The record's own fields rule out most devices before the connection
    // table is asked.
    const DeviceRecord::Snapshot snapshot = record->TakeSnapshot();
    if (snapshot.meanRssi < kMinCandidateRssi ||
        snapshot.history.consecutiveAdvertsWithoutUuid <= kMinAdvertsWithoutUuid) {
      continue;
    }
    const std::shared_ptr<BluetoothDevice>& device = record->device();
    // Heard recently is the common case and needs no connection-table lookup.
    if (snapshot.history.lastAdvertMs <= cutoff && !device->IsConnected()) {
      continue;
    }
    // Services read since advertising last stopped are current; a phone
    // already recognised needs no second look.
    if (device->HasServices() && (device->GetLastTimeDiscoveredServices() >= lastStopAdvertising ||
                                  device->GetServiceUuidUsedToDetect(m_detectScratch))) {
      continue;
    }
    const bool movedCloser = MovedCloser(snapshot);
    candidates.Add(record, CandidateKey{snapshot.history.discoveryAttempts == 0 || movedCloser, snapshot.meanRssi,
                                        snapshot.history.failedConnectionAttempts,
                                        snapshot.history.lastDiscoveryAttemptTime, snapshot.address});
    if (logging && movedCloser) {
      m_movedCloser.push_back(snapshot);
    }
  }
  if (logging) {
    // In address order, once per candidate.
    std::sort(m_movedCloser.begin(), m_movedCloser.end(),
              [](const auto& a, const auto& b) { return a.address < b.address; });
    for (const DeviceRecord::Snapshot& snapshot : m_movedCloser) {
      Log(kDebug, "MAC", snapshot.address.ToString(), " moved closer, from ", snapshot.history.strongestAttemptRssi,
          " to ", snapshot.meanRssi, "try it soon");
    }
    m_movedCloser.clear();
  }
  candidates.Order();
  return candidates;
}

bool DevicesInRange::AttemptServiceDiscovery(const std::shared_ptr<DeviceRecord>& record, bool force) {
  if (!force && AnyConnectionOpen()) {
    return false;
  }
  record->BeginDiscoveryAttempt(SystemClockTicks());
  const std::shared_ptr<BluetoothDevice> device = record->device();
  const std::string address = record->address().ToString();
  const bool wasConnected = device->IsConnected();
  bool succeeded = false;
  try {
    device->Connect();
    CheckForMacSwitch(record);
    succeeded = true;
  } catch (const std::exception& e) {
    Log(kInfo, "Failed to perform service discovery for device:", address, "with mean RSSI =", record->MeanRssi(),
        "Details:", e.what());
  } catch (...) {
    Log(kWarning, "Failed to perform service discovery for device (non-std::exception):", address);
  }
  if (!wasConnected && device->IsConnected()) {
    try {
      device->Disconnect();
    } catch (const std::exception& e) {
      Log(kWarning, "Failed to close connection for device:", address, "Details:", e.what());
    } catch (...) {
      Log(kWarning, "Failed to close connection for device (non-std::exception):", address);
    }
  }
  record->EndDiscoveryAttempt(succeeded);
  return succeeded;
}

template <class StopWhen>
void DevicesInRange::ConnectToCandidates(Candidates& candidates, int64_t startTicks, bool force, StopWhen stopWhen) {
  const size_t count = candidates.size();
  size_t tried = 0;
  while (tried != count) {
    if (Event::IsGlobalReset()) {
      Log(kInfo, "Stopping connecting to devices because the device is being reset");
      break;
    }
    if (SystemClockTicks() - startTicks >= kConnectBudgetTicks) {
      Log(kDebug, "Done connecting to devices. Tried ", tried, " of ", count, " devices");
      break;
    }
    ++tried;
    const std::shared_ptr<DeviceRecord> candidate = candidates.Next();
    if (AttemptServiceDiscovery(candidate, force) && stopWhen(candidate)) {
      break;
    }
  }
  if (tried == count) {
    Log(kDebug, "Done connecting to devices. Tried all ", count, " devices");
  }
}

void DevicesInRange::Recycle(Candidates candidates) {
  candidates.Clear();
  m_spareCandidates = std::move(candidates);
}

DevicesInRange::RecordList DevicesInRange::ServiceCheckCandidatesForTesting() {
  Candidates candidates = DevicesNeedingServiceCheck();
  RecordList ordered = candidates.TakeAll();
  Recycle(std::move(candidates));
  return ordered;
}

void DevicesInRange::ProcessJobs(const JobReport& report) {
  const int64_t start = SystemClockTicks();
  const std::map<std::wstring, std::set<Uuid>> jobs = m_jobs;
  for (const auto& job : jobs) {
    const std::wstring& name = job.first;
    const std::set<Uuid>& uuids = job.second;  // a plain reference: lambdas below capture it
    RecordList matches = MatchDevicesForJob(uuids);
    bool checkPhones = false;
    if (matches.empty()) {
      Log(kInfo, "no devices found that match the job: see if any nearby iPhones need services checked");
      checkPhones = true;
    } else if (std::none_of(matches.begin(), matches.end(),
                            [](const auto& match) { return match->failedConnectionAttempts() == 0; })) {
      Log(kInfo, "found", matches.size(),
          "devices that match the job, but they all have had recent connection failures: see if any nearby "
          "iPhones need services checked");
      checkPhones = true;
    }
    if (checkPhones) {
      Candidates candidates = DevicesNeedingServiceCheck();
      ConnectToCandidates(candidates, start, true, [&](const std::shared_ptr<DeviceRecord>& candidate) {
        const std::optional<Uuid> detect = DetectUuid(candidate);
        if (!detect || uuids.count(*detect) == 0) {
          return false;
        }
        matches = MatchDevicesForJob(uuids);
        const std::string address = candidate->address().ToString();
        if (!matches.empty()) {
          Log(kInfo, "Found services, device:", address, "job resolved by connecting to nearby iPhones");
          return true;
        }
        Log(kInfo, "Found services, device:", address);
        return false;
      });
      Recycle(std::move(candidates));
    }
    if (matches.empty()) {
      continue;  // tried again next tick
    }
    std::vector<std::shared_ptr<BluetoothDevice>> devices;
    devices.reserve(matches.size());
    for (const auto& match : matches) {
      devices.push_back(match->device());
    }
    m_lastJobCancelTime.store(SystemClockTicks());
    m_jobs.erase(name);
    SetJobCount();
    if (!report) {
      continue;
    }
    try {
      report(name, devices);
    } catch (const std::exception& e) {
      Log(kWarning, std::string("OnTimer callback caused exception, which is unexpected: ") + e.what());
    } catch (...) {
      Log(kWarning, "OnTimer callback caused non-std::exception, which is unexpected");
    }
  }
}

void DevicesInRange::ConnectToDevicesNeedingServiceCheck(bool force) {
  const int64_t start = SystemClockTicks();
  Candidates candidates = DevicesNeedingServiceCheck();
  if (force || !AnyConnectionOpen()) {
    ConnectToCandidates(candidates, start, force, [](const std::shared_ptr<DeviceRecord>&) { return false; });
  } else {
    Log(kDebug, "Don't attempt connecting to devices: ", candidates.size(),
        " devices have not had services discovered.");
  }
  Recycle(std::move(candidates));
}

void DevicesInRange::ExpireCache(int timeoutMs) {
  // A negative timeout (an unsigned value past the int range) would empty the
  // cache every tick; treat it as longer than any window.
  if (timeoutMs < 0) {
    return;
  }
  const int64_t now = SteadyMilliseconds();
  if (now < timeoutMs) {
    return;
  }
  const int64_t cutoff = now - timeoutMs;
  std::vector<std::pair<Address, std::shared_ptr<DeviceRecord>>> expired;
  for (size_t i = 0; i < m_walk.size(); ++i) {
    PrefetchAhead(m_walk, i);
    const std::shared_ptr<DeviceRecord>& record = m_walk[i];
    if (record->lastAdvertMs() < cutoff && !record->device()->IsConnected()) {
      expired.emplace_back(record->address(), record);
    }
  }
  std::sort(expired.begin(), expired.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [address, record] : expired) {
    Log(kInfo, "delete from cache MAC =", address.ToString());
    EraseRecord(*record);
  }
}

void DevicesInRange::CheckForMacSwitch(std::shared_ptr<DeviceRecord> record) {
  const std::optional<Uuid> uuid = ResolveDetectUuid(record);
  if (!uuid) {
    return;
  }
  std::shared_ptr<DeviceRecord> old;
  for (const auto& [address, other] : m_records) {
    if (other == record) {
      continue;
    }
    const std::optional<Uuid> detect = DetectUuid(other);
    if (detect && detect->EqualTo(*uuid)) {
      Log(kDebug, "New device matches existing device UUID");
      old = other;
      break;
    }
  }
  if (!old) {
    return;
  }
  const Address newAddress = record->address();
  const Address oldAddress = old->address();
  // Take over first: if that throws, the cache still holds both records.
  old->device()->TakeNewMACInfo(record->device().get());
  Erase(newAddress);
  Erase(oldAddress);
  Insert(newAddress, old);
  Log(kDebug, "done switching to new MAC:", newAddress.ToString(), "from MAC:", oldAddress.ToString());
}

}  // namespace lumen::details
