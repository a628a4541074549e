#pragma once

// The advertisement-throughput loop the benches share: scan continuously,
// feed the radio once per iteration and wait until the application's
// callback has seen every advertisement fed so far.

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "lumen/BluetoothDevice.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "scan/ScannerImpl.h"

namespace lumen::bench {

// The callback is a plain function pointer, so the count is global.
struct AdvertCount {
  std::mutex mutex;
  std::condition_variable changed;
  int64_t total = 0;
};
inline AdvertCount g_advertCount;

inline bool CountAdvert(std::shared_ptr<BluetoothDevice>& /*device*/) {
  {
    std::lock_guard lock(g_advertCount.mutex);
    ++g_advertCount.total;
  }
  g_advertCount.changed.notify_one();
  return true;
}

// `feed` makes the radio deliver `perIteration` more advertisements. The
// scanner's own ticks are held off so that only the adverts cost time.
template <class Feed>
void RunAdvertLoop(benchmark::State& state, int64_t perIteration, Feed feed) {
  auto scanner = GetScanner();
  details::ScannerAccess::ImplOf(*scanner).SetTickIntervalForTesting(std::chrono::hours(24));
  scanner->SetAdvCallback(&CountAdvert);
  scanner->StartLeScan();
  int64_t expected = 0;
  {
    std::lock_guard lock(g_advertCount.mutex);
    g_advertCount.total = 0;
  }
  for (auto _ : state) {
    feed();
    expected += perIteration;
    std::unique_lock lock(g_advertCount.mutex);
    if (!g_advertCount.changed.wait_for(lock, std::chrono::seconds(30),
                                        [&] { return g_advertCount.total >= expected; })) {
      state.SkipWithError("advertisements went missing");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * perIteration);
  scanner->StopLeScan();
}

}  // namespace lumen::bench
