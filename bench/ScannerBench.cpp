#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "IdleRadio.h"
#include "ScanResponse.h"
#include "bluegiga/BgApi.h"
#include "core/BluetoothSDK.h"
#include "core/CallbacksManager.h"
#include "core/IBluetoothSDK.h"
#include "lumen/Logger.h"
#include "scan/ScannerImpl.h"

namespace lumen::details {
namespace {

using bglib::ble_msg_gap_scan_response_evt_t;

// One scan-response record per address, with a 16-bit UUID list and a name.
std::vector<std::vector<uint8_t>> ScanResponses(int addresses) {
  std::vector<std::vector<uint8_t>> records;
  for (int i = 0; i < addresses; ++i) {
    records.push_back(bench::ScanResponseRecord(-60, static_cast<uint16_t>(i), 0x66,
                                                {0x02, 0x01, 0x06, 0x03, 0x03, 0x0D, 0x18, 0x04, 0x09, 'l', 'u', 'm'}));
  }
  return records;
}

void Publish(const std::vector<uint8_t>& record) {
  details::Publish<const ble_msg_gap_scan_response_evt_t*>(
      "ble_evt_gap_scan_response", reinterpret_cast<const ble_msg_gap_scan_response_evt_t*>(record.data()));
}

// Advertisements per second taken in and fully processed by a scanner's
// worker (cache update, statistics), from 100 addresses. The time includes
// the radio-thread side: copying the record and posting it.
void BM_ScannerAdvertisementThroughput(benchmark::State& state) {
  IdleScan idle;
  auto& scanner = idle.scanner;
  const auto records = ScanResponses(100);
  constexpr int kBatch = 1000;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      Publish(records[static_cast<size_t>(i) % records.size()]);
    }
    scanner.RunOnWorkerForTesting({});
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_ScannerAdvertisementThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

// Cost on the publishing (radio reader) thread alone: the part that holds up
// the serial line.
void BM_ScannerAdvertisementIntake(benchmark::State& state) {
  IdleScan idle;
  auto& scanner = idle.scanner;
  const auto records = ScanResponses(100);
  size_t next = 0;
  for (auto _ : state) {
    Publish(records[next]);
    next = (next + 1) % records.size();
    if (next == 0) {
      state.PauseTiming();
      scanner.RunOnWorkerForTesting({});  // keep the backlog small
      state.ResumeTiming();
    }
  }
  scanner.RunOnWorkerForTesting({});
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScannerAdvertisementIntake);

}  // namespace
}  // namespace lumen::details
