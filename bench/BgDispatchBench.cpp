#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <vector>

#include "bluegiga/BgApi.h"
#include "core/CallbacksManager.h"
#include "core/CaptureTap.h"
#include "lumen/Capture.h"
#include "lumen/Logger.h"

namespace lumen::details {
namespace {

using bglib::ble_msg_gap_scan_response_evt_t;

// A scan response with 31 bytes of advertising data, as the reader hands it over.
const uint8_t kHeader[4] = {0x80, 0x2A, 0x06, 0x00};
std::vector<uint8_t> ScanResponsePayload() {
  // One list: GCC 12 misreads an insert of the data into the fixed part as an overread.
  return {0xC4, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x01, 0xFF, 31,
          // advertising data
          0x02, 0x01, 0x06, 0x03, 0x03, 0x0D, 0x18, 0x11, 0x07, 0x9E, 0xCA, 0xDC, 0x24, 0x0E, 0xE5, 0xA9, 0xE0, 0x93,
          0xF3, 0xA3, 0xB5, 0x01, 0x00, 0x40, 0x6E, 0x05, 0x09, 'l', 'u', 'm', 'e'};
}

// The one subscriber: it adds up the advertisement bytes it is handed.
int SubscribeCountingBytes(uint64_t& bytesSeen) {
  int id = 0;
  Subscribe<const ble_msg_gap_scan_response_evt_t*>(
      "ble_evt_gap_scan_response",
      [&bytesSeen](const ble_msg_gap_scan_response_evt_t* record) { bytesSeen += record->data.len; }, &id);
  return id;
}

// Frames looked up, checked and published to one subscriber, per second.
void BM_ScanResponseDispatch(benchmark::State& state) {
  Logger::SetLogCallback(nullptr);
  const std::vector<uint8_t> payload = ScanResponsePayload();
  uint64_t bytesSeen = 0;
  const int id = SubscribeCountingBytes(bytesSeen);

  for (auto _ : state) {
    const BgMessageDef* row = BgFindHandler(kHeader);
    benchmark::DoNotOptimize(row);
    benchmark::DoNotOptimize(BgDispatch(kHeader, payload.data(), payload.size()));
  }
  Unsubscribe(id);
  benchmark::DoNotOptimize(bytesSeen);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ScanResponseDispatch);

// The reader's frame-in step as the serial thread takes it: the capture tap,
// then the dispatch. Argument 0: no capture; 1: every frame written to a file.
void BM_FrameInWithCapture(benchmark::State& state) {
  Logger::SetLogCallback(nullptr);
  const std::vector<uint8_t> payload = ScanResponsePayload();
  const std::string path = (std::filesystem::temp_directory_path() / "lumen-bench-capture.pcapng").string();
  if (state.range(0) != 0) {
    StartCapture(path);
  }
  uint64_t bytesSeen = 0;
  const int id = SubscribeCountingBytes(bytesSeen);
  for (auto _ : state) {
    if (Capturing()) {
      CaptureWrite(kCaptureBgapiFromRadio, kCaptureInbound, {{kHeader, 4}, {payload.data(), payload.size()}});
    }
    benchmark::DoNotOptimize(BgDispatch(kHeader, payload.data(), payload.size()));
  }
  Unsubscribe(id);
  StopCapture();
  std::filesystem::remove(path);
  benchmark::DoNotOptimize(bytesSeen);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameInWithCapture)->Arg(0)->Arg(1);

void DiscardCommand(uint8_t /*len1*/, const uint8_t* bytes1, uint16_t /*len2*/, const uint8_t* /*bytes2*/) {
  benchmark::DoNotOptimize(bytes1[0]);
}

// Advertising data commands encoded per second.
void BM_EncodeSetAdvData(benchmark::State& state) {
  const std::vector<uint8_t> advData(31, 0x42);
  BgOutputHook.store(&DiscardCommand);
  for (auto _ : state) {
    bglib::ble_cmd_gap_set_adv_data(0, static_cast<uint8_t>(advData.size()), advData.data());
  }
  BgOutputHook.store(nullptr);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeSetAdvData);

}  // namespace
}  // namespace lumen::details
