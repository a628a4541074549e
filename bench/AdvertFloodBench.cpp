// Advertisement intake measured on the library's side only: a separate
// process floods a pseudo-terminal with prebuilt BGAPI scan-response frames
// from 1,000 devices, and the library reads them through its serial
// transport, frames, validates and dispatches them, and the scanner enters
// each in its cache and calls the advertisement callback. The writer is a
// child process, so its CPU time is not in this process's figure.
#if !defined(_WIN32)

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "IdleRadio.h"
#include "ScanResponse.h"
#include "bluegiga/SerialThread.h"
#include "core/BluetoothSDK.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Logger.h"
#include "scan/ScannerImpl.h"

namespace lumen::details {
namespace {

constexpr int kDevices = 1000;
constexpr int64_t kAdvertsPerIteration = 200000;

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One scan response per device: a phone's advertisement (flags and 26 bytes
// of manufacturer data, no UUID list), RSSI -60.
std::vector<uint8_t> FloodFrames() {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < kDevices; ++i) {
    std::vector<uint8_t> data = {0x02, 0x01, 0x1A, 0x1B, 0xFF, 0x4C, 0x00, 0x10, 0x05};
    data.resize(31, static_cast<uint8_t>(i));
    const auto record = bench::ScanResponseRecord(-60, static_cast<uint16_t>(i), 0xC6, data);
    bytes.insert(bytes.end(), {0x80, static_cast<uint8_t>(record.size()), 0x06, 0x00});
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  return bytes;
}

// Writes frames to fd until killed; never returns.
[[noreturn]] void FloodForever(int fd, const std::vector<uint8_t>& frames) {
  for (;;) {
    size_t offset = 0;
    while (offset < frames.size()) {
      const ssize_t written = write(fd, frames.data() + offset, frames.size() - offset);
      if (written <= 0) {
        _exit(0);
      }
      offset += static_cast<size_t>(written);
    }
  }
}

std::mutex g_mutex;
std::condition_variable g_changed;
std::atomic<int64_t> g_adverts{0};
int64_t g_target = 0;

bool CountAdvert(std::shared_ptr<BluetoothDevice>& /*device*/) {
  if (g_adverts.fetch_add(1, std::memory_order_relaxed) + 1 == g_target) {
    std::lock_guard lock(g_mutex);
    g_changed.notify_one();
  }
  return true;
}

void BM_AdvertFloodFromSeparateWriter(benchmark::State& state) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  const std::string slave = ptsname(master);
  {
    IdleScan idle;
    auto& scanner = idle.scanner;
    scanner.SetAdvCallback(&CountAdvert);
    auto serial = std::make_shared<SerialThread>();
    SerialThread::SetInstance(serial);
    serial->OpenDevice(slave, 0);

    const std::vector<uint8_t> frames = FloodFrames();
    const pid_t writer = fork();
    if (writer == 0) {
      FloodForever(master, frames);
    }
    double cpuSeconds = 0;
    double wallSeconds = 0;
    int64_t counted = 0;
    for (auto _ : state) {
      const int64_t start = g_adverts.load();
      {
        std::lock_guard lock(g_mutex);
        g_target = start + kAdvertsPerIteration;
      }
      const double cpuBefore = ProcessCpuSeconds();
      const auto wallBefore = std::chrono::steady_clock::now();
      std::unique_lock lock(g_mutex);
      if (!g_changed.wait_for(lock, std::chrono::seconds(60), [] { return g_adverts.load() >= g_target; })) {
        state.SkipWithError("advertisements stopped arriving");
        break;
      }
      cpuSeconds += ProcessCpuSeconds() - cpuBefore;
      wallSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
      counted += g_adverts.load() - start;
    }
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
    scanner.StopLeScan();
    scanner.SetAdvCallback(nullptr);
    serial->Close();
    SerialThread::ClearInstance(serial.get());
    if (counted != 0) {
      state.counters["cpu_us_per_advert"] = cpuSeconds * 1e6 / static_cast<double>(counted);
      state.counters["adverts_per_cpu_second"] = static_cast<double>(counted) / cpuSeconds;
      state.counters["adverts_per_second"] = static_cast<double>(counted) / wallSeconds;
    }
  }
  close(master);
}
BENCHMARK(BM_AdvertFloodFromSeparateWriter)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumen::details

#endif  // !_WIN32
