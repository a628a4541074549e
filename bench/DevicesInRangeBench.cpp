#include <benchmark/benchmark.h>
#include <malloc.h>

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/Event.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Logger.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"
#include "scan/DevicesInRange.h"

namespace lumen::details {
namespace {

constexpr int kCacheTimeoutMs = 900000;  // the scanner's default, 15 minutes

Address AddressOf(uint32_t i) {
  return Address(
      {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i >> 16), 0x44, 0x55, 0xC6},
      Address::Random);
}

// A typical phone advertisement: flags plus 26 bytes of manufacturer data, no UUIDs.
std::shared_ptr<const AdvPacket> PhoneAdvert(uint32_t i, int8_t rssi) {
  std::vector<unsigned char> data = {0x02, 0x01, 0x1A, 0x1B, 0xFF, 0x4C, 0x00, 0x10, 0x05};
  data.resize(31, static_cast<unsigned char>(i));
  return std::make_shared<const AdvPacket>(rssi, AddressOf(i), 0, 0, std::move(data));
}

// n devices heard once each, too weak to be connected to.
void Fill(DevicesInRange& cache, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    cache.RegisterAdvPacket(PhoneAdvert(i, -95));
  }
}

// n phones in the background, every one a service-check candidate (strong
// enough, four UUID-less advertisements in a row), RSSI spread over -80 to
// -40 dBm. Every fourth has had a failed attempt and every eighth of those
// has since moved closer, so every rule of the candidate order decides.
void FillWithCandidates(DevicesInRange& cache, uint32_t n) {
  uint32_t seed = 12345;
  const auto next = [&seed] {
    seed = seed * 1103515245U + 12345U;
    return seed >> 16;
  };
  for (uint32_t i = 0; i < n; ++i) {
    for (int advert = 0; advert < 4; ++advert) {
      cache.RegisterAdvPacket(PhoneAdvert(i, static_cast<int8_t>(-80 + static_cast<int>(next() % 41))));
    }
    if (i % 4 == 0) {
      const std::shared_ptr<DeviceRecord> record = cache.Find(AddressOf(i));
      record->BeginDiscoveryAttempt(static_cast<int64_t>(next()));
      record->EndDiscoveryAttempt(false);
      const int8_t rssi = i % 32 == 0 ? -40 : static_cast<int8_t>(-80 + static_cast<int>(next() % 41));
      for (int advert = 0; advert < 4; ++advert) {
        cache.RegisterAdvPacket(PhoneAdvert(i, rssi));
      }
    }
  }
}

const Uuid kJobUuid(std::array<uint8_t, 16>{0x0B, 0x9D, 0xB0, 0xE5, 0xC5, 0xB3, 0x40, 0x43, 0x82, 0x94, 0x44, 0xD8,
                                            0x11, 0x2A, 0xDC, 0x54});

bool IgnoreReport(const std::wstring&, std::vector<std::shared_ptr<BluetoothDevice>>&) { return false; }

// Scanner ticks over a cache of state.range(0) devices with a job that stays
// unresolved, so the cache must come out as it went in.
void TickWithPendingJob(benchmark::State& state, DevicesInRange& cache) {
  for (auto _ : state) {
    cache.ProcessJobs(&IgnoreReport);
    cache.ExpireCache(kCacheTimeoutMs);
  }
  if (cache.size() != static_cast<size_t>(state.range(0)) || !cache.HasJobs()) {
    state.SkipWithError("the tick changed the cache");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The cache work of one scanner tick with an unresolved job: resolve the job
// (match walk, then the candidate walk for phones needing a service check,
// sorted into the order they would be tried) and expire. Every cached device
// is a candidate. The radio is marked as being reset, so the walk stops
// before its first connection attempt and the cache stays as it was.
void BM_ScannerTickWithPendingJob(benchmark::State& state) {
  Logger::SetLogCallback(nullptr);
  DevicesInRange cache;
  FillWithCandidates(cache, static_cast<uint32_t>(state.range(0)));
  cache.AddJob(L"job", {kJobUuid});
  Event::SetGlobalReset(true);
  TickWithPendingJob(state, cache);
  Event::SetGlobalReset(false);
}
BENCHMARK(BM_ScannerTickWithPendingJob)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The same tick over devices too weak to be candidates: the walks alone.
void BM_ScannerTickWithPendingJobNoCandidates(benchmark::State& state) {
  Logger::SetLogCallback(nullptr);
  DevicesInRange cache;
  Fill(cache, static_cast<uint32_t>(state.range(0)));
  cache.AddJob(L"job", {kJobUuid});
  TickWithPendingJob(state, cache);
}
BENCHMARK(BM_ScannerTickWithPendingJobNoCandidates)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// A tick without jobs: only the expiry walk.
void BM_ScannerTickExpiryOnly(benchmark::State& state) {
  Logger::SetLogCallback(nullptr);
  DevicesInRange cache;
  Fill(cache, static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    cache.ExpireCache(kCacheTimeoutMs);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ScannerTickExpiryOnly)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// One advertisement from an already known device entering a cache of n.
void BM_RegisterKnownDeviceAdvert(benchmark::State& state) {
  Logger::SetLogCallback(nullptr);
  const auto n = static_cast<uint32_t>(state.range(0));
  DevicesInRange cache;
  Fill(cache, n);
  std::vector<std::shared_ptr<const AdvPacket>> adverts;
  for (uint32_t i = 0; i < 1024; ++i) {
    adverts.push_back(PhoneAdvert((i * 7919U) % n, -60));
  }
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cache.RegisterAdvPacket(adverts[next]));
    next = (next + 1) % adverts.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegisterKnownDeviceAdvert)->Arg(1000)->Arg(100000);

// Heap held per cached device (record, device object, advertisement, RSSI
// history, map node), from the allocator's own count before and after.
void BM_CacheMemoryPerDevice(benchmark::State& state) {
  Logger::SetLogCallback(nullptr);
  const auto n = static_cast<uint32_t>(state.range(0));
  double bytesPerDevice = 0;
  for (auto _ : state) {
    const size_t before = mallinfo2().uordblks;
    {
      DevicesInRange cache;
      Fill(cache, n);
      // A phone heard for a while keeps a full RSSI history.
      for (int sample = 0; sample < 15; ++sample) {
        for (uint32_t i = 0; i < n; ++i) {
          cache.RegisterAdvPacket(PhoneAdvert(i, -95));
        }
      }
      const size_t after = mallinfo2().uordblks;
      bytesPerDevice = static_cast<double>(after - before) / n;
    }
  }
  state.counters["bytesPerDevice"] = bytesPerDevice;
}
BENCHMARK(BM_CacheMemoryPerDevice)->Arg(1000)->Arg(10000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumen::details
