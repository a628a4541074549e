// Sessions of open, scan, connect, read and close against the virtual BLED112,
// a thousand in a row: the time of one, and what the process holds after the
// last compared with after the warm-up. Descriptor, thread and heap deltas
// other than about zero are leaks (tests/bluegiga/LibraryCycleLeakTest.cpp
// checks a shorter run).
#include <benchmark/benchmark.h>

#include <string>

#include "support/LibraryCycle.h"

namespace lumen {
namespace {

constexpr int kWarmUpCycles = 100;

void BM_OpenScanConnectReadCloseCycle(benchmark::State& state) {
  testing::LibraryCycle cycle;
  for (int i = 0; i < kWarmUpCycles; ++i) {
    if (const std::string failure = cycle.Run(); !failure.empty()) {
      state.SkipWithError(("warm-up session failed: " + failure).c_str());
      return;
    }
  }
  const testing::ProcessResources start = testing::MeasureProcess();
  for (auto _ : state) {
    if (const std::string failure = cycle.Run(); !failure.empty()) {
      state.SkipWithError(("session failed: " + failure).c_str());
      return;
    }
  }
  const testing::ProcessResources end = testing::MeasureProcess();
  state.counters["fds_start"] = static_cast<double>(start.fds);
  state.counters["fds_end"] = static_cast<double>(end.fds);
  state.counters["threads_start"] = static_cast<double>(start.threads);
  state.counters["threads_end"] = static_cast<double>(end.threads);
  state.counters["heap_start"] = static_cast<double>(start.heapBytes);
  state.counters["heap_end"] = static_cast<double>(end.heapBytes);
  state.counters["heap_delta"] = static_cast<double>(end.heapBytes) - static_cast<double>(start.heapBytes);
}
BENCHMARK(BM_OpenScanConnectReadCloseCycle)->Iterations(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace lumen
