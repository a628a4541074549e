// Costs seen by an application on a real pseudo-terminal with the virtual
// BLED112 at the far end: one command's round trip, and advertisements from
// the serial line to the scanner's advertisement callback. Logging is off.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "AdvertLoop.h"
#include "bluegiga/BGCalls.h"
#include "lumen/Capture.h"
#include "lumen/Lumen.h"
#include "sim/VirtualBled112.h"

namespace lumen {
namespace {

constexpr int kPeripherals = 20;
constexpr int kAdvertIntervalMs = 20;
constexpr int kSimMsPerIteration = 1000;
constexpr int kAdvertsPerIteration = kPeripherals * kSimMsPerIteration / kAdvertIntervalMs;

std::string Scenario() {
  std::string peripherals;
  for (int i = 0; i < kPeripherals; ++i) {
    char address[18];
    std::snprintf(address, sizeof address, "5a:10:20:30:40:%02x", i);
    peripherals += std::string(i == 0 ? "" : ",") + R"({"name": "p)" + std::to_string(i) + R"(", "address": ")" +
                   address + R"(", "address_type": "random", "adv_interval_ms": )" + std::to_string(kAdvertIntervalMs) +
                   R"(, "adv_data": {"flags": 6, "uuids128": ["a3c87500-8ed3-4bdf-8a39-a01bebede295"]}, "rssi": -50})";
  }
  return R"({"radio": {"variant": "module", "firmware": {"major": 1, "minor": 8, "patch": 0, "build": 149}},
             "peripherals": [)" +
         peripherals + "]}";
}

std::unique_ptr<sim::VirtualBled112> OpenRadio() {
  sim::VirtualBled112Options options;
  options.frameLogLimit = 64;
  auto radio = std::make_unique<sim::VirtualBled112>(sim::Scenario::FromJson(Scenario()), options);
  if (!Initialize(radio->Path(), 0, BLE113, false)) {
    return nullptr;
  }
  return radio;
}

void BM_CommandRoundTripOverPseudoTerminal(benchmark::State& state) {
  auto radio = OpenRadio();
  if (!radio) {
    state.SkipWithError("virtual radio did not open");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(details::BGCalls::Hello());
  }
  UnInitialize();
}
BENCHMARK(BM_CommandRoundTripOverPseudoTerminal)->UseRealTime();

// Argument 1: with a capture of every frame running.
void BM_AdvertsFromPseudoTerminalToCallback(benchmark::State& state) {
  const std::string capturePath = (std::filesystem::temp_directory_path() / "lumen-bench-serial.pcapng").string();
  if (state.range(0) != 0) {
    StartCapture(capturePath);
  }
  auto radio = OpenRadio();
  if (!radio) {
    state.SkipWithError("virtual radio did not open");
    StopCapture();
    return;
  }
  // Continuous scanning on this firmware.
  bench::RunAdvertLoop(state, kAdvertsPerIteration, [&] { radio->Clock().AdvanceMs(kSimMsPerIteration); });
  UnInitialize();
  StopCapture();
  std::filesystem::remove(capturePath);
}
// Process CPU time includes the virtual radio's own threads, so it bounds
// the library's share from above.
BENCHMARK(BM_AdvertsFromPseudoTerminalToCallback)
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumen
