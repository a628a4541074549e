// Advertising reports on the Nordic path: from the driver's event thread
// (the virtual nRF52 board's) through the backend's report conversion, the
// bus and the scanner to the advertisement callback, including the scan
// resume each report needs. Compare with BM_AdvertsFromPseudoTerminalToCallback,
// the same path for the BLED112. Logging is off.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AdvertLoop.h"
#include "lumen/Lumen.h"
#include "sd_rpc.h"
#include "sim/nrf52/VirtualNrf52.h"

namespace lumen {
namespace {

constexpr int kPeripherals = 20;
constexpr int kReportsPerIteration = 1000;

// One connectable report as the driver hands it over: the data lives in the
// scan buffer the backend registered, here a buffer of the bench's own.
std::vector<uint8_t> Report(int peripheral, uint8_t* data) {
  static const uint8_t kAdvData[] = {0x02, 0x01, 0x06, 0x11, 0x07, 0x95, 0xe2, 0xed, 0xeb, 0x1b, 0xa0,
                                     0x39, 0x8a, 0xdf, 0x4b, 0xd3, 0x8e, 0x00, 0x75, 0xc8, 0xa3};
  std::memcpy(data, kAdvData, sizeof kAdvData);
  std::vector<uint8_t> bytes(sizeof(ble_evt_t));
  auto* event = reinterpret_cast<ble_evt_t*>(bytes.data());
  event->header.evt_id = BLE_GAP_EVT_ADV_REPORT;
  event->header.evt_len = static_cast<uint16_t>(bytes.size());
  event->evt.gap_evt.conn_handle = BLE_CONN_HANDLE_INVALID;
  ble_gap_evt_adv_report_t& report = event->evt.gap_evt.params.adv_report;
  report.type.connectable = 1;
  report.type.scannable = 1;
  report.peer_addr.addr_type = BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
  const uint8_t address[6] = {static_cast<uint8_t>(peripheral), 0x40, 0x30, 0x20, 0x10, 0xda};
  std::memcpy(report.peer_addr.addr, address, sizeof address);
  report.rssi = -50;
  report.tx_power = BLE_GAP_POWER_LEVEL_INVALID;
  report.data.p_data = data;
  report.data.len = sizeof kAdvData;
  return bytes;
}

void BM_NordicAdvertsFromDriverThreadToCallback(benchmark::State& state) {
  const std::string path = "/tmp/lumen-nordic-bench-" + std::to_string(getpid()) + ".json";
  std::ofstream(path) << R"({"peripherals": []})";
  sim::SetNrf52BoardOptions({sim::SimClock::Mode::kManual});
  const bool opened = Initialize(path, 0, NordicNRF52, false);
  std::remove(path.c_str());
  const auto board = sim::OpenNrf52Board();
  if (!opened || !board) {
    state.SkipWithError("virtual nRF52 board did not open");
    return;
  }
  static uint8_t data[kPeripherals][32];
  std::vector<std::vector<uint8_t>> reports;
  for (int i = 0; i < kPeripherals; ++i) reports.push_back(Report(i, data[i]));
  bench::RunAdvertLoop(state, kReportsPerIteration, [&] {
    for (int i = 0; i < kReportsPerIteration; ++i) {
      const auto& report = reports[static_cast<size_t>(i % kPeripherals)];
      board->InjectEvent(report.data(), report.size());
    }
  });
  UnInitialize();
}
// Process CPU time includes the virtual board's event thread, which stands
// in for the driver's.
BENCHMARK(BM_NordicAdvertsFromDriverThreadToCallback)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumen
