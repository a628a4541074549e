// The cache's orderings against a reference: a plain copy of the earlier
// implementation (full snapshots of the address-ordered cache, stable sort
// with the pairwise rules), run on random caches with many ties.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "lumen/BluetoothDevice.h"
#include "lumen/Logger.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"
#include "scan/DevicesInRange.h"
#include "scan/FakeProvider.h"

namespace lumen {
namespace {

using details::AdvPacket;
using details::DeviceRecord;
using details::DevicesInRange;
using testing::ManualClocks;
using testing::ScopedFakeProvider;
using Bytes = std::vector<unsigned char>;
using Records = std::vector<std::shared_ptr<DeviceRecord>>;

// --- reference: the orderings as they were written before ------------------------------

struct RefEntry {
  std::shared_ptr<DeviceRecord> record;
  bool connected = false;
  DeviceRecord::Snapshot snapshot;
};

bool RefConnectionOrder(const RefEntry& a, const RefEntry& b) {
  if (a.connected != b.connected) {
    return a.connected;
  }
  if (a.snapshot.history.failedConnectionAttempts != b.snapshot.history.failedConnectionAttempts) {
    return a.snapshot.history.failedConnectionAttempts < b.snapshot.history.failedConnectionAttempts;
  }
  return a.snapshot.meanRssi > b.snapshot.meanRssi;
}

bool RefMovedCloser(const DeviceRecord::Snapshot& s) {
  return s.history.discoveryAttempts != 0 &&
         s.meanRssi >= s.history.strongestAttemptRssi + DevicesInRange::kMovedCloserDb;
}

bool RefServiceCheckOrder(const RefEntry& a, const RefEntry& b) {
  const bool aEligible = a.snapshot.history.discoveryAttempts == 0 || RefMovedCloser(a.snapshot);
  const bool bEligible = b.snapshot.history.discoveryAttempts == 0 || RefMovedCloser(b.snapshot);
  if (aEligible && bEligible) {
    return a.snapshot.meanRssi > b.snapshot.meanRssi;
  }
  if (aEligible != bEligible) {
    return aEligible;
  }
  if (a.snapshot.history.failedConnectionAttempts != b.snapshot.history.failedConnectionAttempts) {
    return a.snapshot.history.failedConnectionAttempts < b.snapshot.history.failedConnectionAttempts;
  }
  return a.snapshot.history.lastDiscoveryAttemptTime < b.snapshot.history.lastDiscoveryAttemptTime;
}

RefEntry RefMakeEntry(const std::shared_ptr<DeviceRecord>& record) {
  return RefEntry{record, record->device()->IsConnected(), record->TakeSnapshot()};
}

Records RefRecords(const std::vector<RefEntry>& entries) {
  Records records;
  for (const RefEntry& entry : entries) {
    records.push_back(entry.record);
  }
  return records;
}

// The cache in address order, as the reference walked it.
Records InAddressOrder(const DevicesInRange& cache, std::vector<Address> addresses) {
  std::sort(addresses.begin(), addresses.end());
  addresses.erase(std::unique(addresses.begin(), addresses.end(),
                              [](const Address& a, const Address& b) { return !(a < b) && !(b < a); }),
                  addresses.end());
  Records records;
  for (const Address& address : addresses) {
    if (auto record = cache.Find(address)) {
      records.push_back(record);
    }
  }
  return records;
}

Records RefServiceCheckCandidates(const Records& inAddressOrder) {
  const int64_t cutoff = ManualClocks::SteadyMs() - DevicesInRange::kRecentAdvertWindowMs;
  std::vector<RefEntry> candidates;
  for (const auto& record : inAddressOrder) {
    RefEntry entry = RefMakeEntry(record);
    if (entry.snapshot.meanRssi < DevicesInRange::kMinCandidateRssi ||
        entry.snapshot.history.consecutiveAdvertsWithoutUuid <= DevicesInRange::kMinAdvertsWithoutUuid) {
      continue;
    }
    if (!entry.connected && entry.snapshot.history.lastAdvertMs <= cutoff) {
      continue;
    }
    candidates.push_back(std::move(entry));
  }
  std::stable_sort(candidates.begin(), candidates.end(), RefServiceCheckOrder);
  return RefRecords(candidates);
}

Records RefMatches(const Records& inAddressOrder, const std::set<Uuid>& uuids) {
  const int64_t cutoff = ManualClocks::SteadyMs() - DevicesInRange::kRecentAdvertWindowMs;
  std::vector<RefEntry> matches;
  for (const auto& record : inAddressOrder) {
    Uuid detect;
    if (!record->device()->GetServiceUuidUsedToDetect(detect) || uuids.count(detect) == 0) {
      continue;
    }
    RefEntry entry = RefMakeEntry(record);
    if (!entry.connected && entry.snapshot.history.lastAdvertMs <= cutoff) {
      continue;
    }
    matches.push_back(std::move(entry));
  }
  std::stable_sort(matches.begin(), matches.end(), RefConnectionOrder);
  return RefRecords(matches);
}

// --- random caches ---------------------------------------------------------------------

Uuid JobUuid(uint8_t n) {
  std::array<uint8_t, 16> bytes{0x6E, 0x40, 0x00, 0x01, 0xB5, 0xA3, 0xF3, 0x93,
                                0xE0, 0xA9, 0xE5, 0x0E, 0x24, 0xDC, 0xCA};
  bytes[15] = n;
  return Uuid(bytes);
}

Bytes WithUuid(const Uuid& uuid) {
  Bytes data = {0x02, 0x01, 0x06, 0x11, 0x07};
  for (size_t i = uuid.size(); i > 0; --i) {
    data.push_back(uuid.bytes()[i - 1]);
  }
  return data;
}

const Bytes kPhoneAdvert = {0x02, 0x01, 0x1A, 0x05, 0xFF, 0x4C, 0x00, 0x10, 0x05};

class CacheOrderingTest : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override { Logger::SetLogCallback(nullptr); }

  // Few distinct values for everything, so that most comparisons are ties.
  void FillRandomly(unsigned seed, int devices) {
    std::mt19937 random(seed);
    const auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int i = 0; i < devices; ++i) {
      const Address address({static_cast<uint8_t>(pick(4)), static_cast<uint8_t>(pick(256)), 0x33,
                             static_cast<uint8_t>(pick(3)), 0x55, 0xC6},
                            pick(2) == 0 ? Address::Public : Address::Random);
      m_addresses.push_back(address);
      const bool withUuid = pick(5) == 0;
      const Bytes data = withUuid ? WithUuid(JobUuid(static_cast<uint8_t>(pick(40)))) : kPhoneAdvert;
      const int adverts = 1 + pick(7);
      for (int a = 0; a < adverts; ++a) {
        const auto rssi = static_cast<int8_t>(-90 + 5 * pick(9));
        m_cache.RegisterAdvPacket(std::make_shared<const AdvPacket>(rssi, address, 0, 0, data));
        if (pick(3) == 0) {
          m_clocks.AdvanceMs(pick(2) * 40);  // the earliest fall out of the 15 s window
        }
      }
      const std::shared_ptr<DeviceRecord> record = m_cache.Find(address);
      const int attempts = pick(4);
      for (int a = 0; a < attempts; ++a) {
        record->BeginDiscoveryAttempt(1000 * pick(3));
        record->EndDiscoveryAttempt(pick(3) == 0);
      }
      if (attempts != 0 && !withUuid) {
        // Heard again after the attempts, some of them much closer.
        const auto rssi = static_cast<int8_t>(pick(2) == 0 ? -45 : -90 + 5 * pick(9));
        for (int a = 0; a < 4 + pick(2); ++a) {
          m_cache.RegisterAdvPacket(std::make_shared<const AdvPacket>(rssi, address, 0, 0, data));
        }
      }
    }
  }

  ScopedFakeProvider m_fake;
  ManualClocks m_clocks;
  DevicesInRange m_cache;
  std::vector<Address> m_addresses;
};

TEST_P(CacheOrderingTest, ServiceCheckCandidatesComeInTheReferenceOrder) {
  FillRandomly(GetParam(), 400);
  const Records expected = RefServiceCheckCandidates(InAddressOrder(m_cache, m_addresses));
  ASSERT_GT(expected.size(), 20U);
  EXPECT_EQ(m_cache.ServiceCheckCandidatesForTesting(), expected);
}

TEST_P(CacheOrderingTest, JobMatchesComeInTheReferenceOrder) {
  FillRandomly(GetParam(), 400);
  std::set<Uuid> job;
  for (uint8_t n = 0; n < 40; ++n) {
    job.insert(JobUuid(n));
  }
  m_cache.AddJob(L"job", job);  // resolves detect UUIDs, one device per UUID
  const Records expected = RefMatches(InAddressOrder(m_cache, m_addresses), job);
  ASSERT_GT(expected.size(), 3U);
  EXPECT_EQ(m_cache.MatchesForTesting(job), expected);
}

TEST_P(CacheOrderingTest, ExpiryLeavesTheSameDevicesAsTheReference) {
  FillRandomly(GetParam(), 400);
  const int64_t cutoff = ManualClocks::SteadyMs() - 5000;
  Records expected;
  for (const auto& record : InAddressOrder(m_cache, m_addresses)) {
    if (!(record->lastAdvertMs() < cutoff && !record->device()->IsConnected())) {
      expected.push_back(record);
    }
  }
  ASSERT_LT(expected.size(), m_cache.size());
  m_cache.ExpireCache(5000);
  EXPECT_EQ(InAddressOrder(m_cache, m_addresses), expected);
  EXPECT_EQ(m_cache.size(), expected.size());
  // The cache still finds and walks what it kept.
  EXPECT_EQ(m_cache.ServiceCheckCandidatesForTesting(), RefServiceCheckCandidates(expected));
}

INSTANTIATE_TEST_SUITE_P(RandomCaches, CacheOrderingTest, ::testing::Range(1U, 21U));

}  // namespace
}  // namespace lumen
