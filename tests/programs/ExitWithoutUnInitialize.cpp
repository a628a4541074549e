// An application that returns from main while the radio is still open and
// busy: no UnInitialize, a Scanner left in a static, advertisements and a
// notification stream still arriving. The process must end cleanly whatever
// order its statics are destroyed in. Exits 0 on success.
//
//   lumen_exit_without_uninitialize [bled112|nrf52 SCENARIO_PATH]   (default bled112)
//
// The nRF52 scenario is written to SCENARIO_PATH, the board's port, which the
// caller removes once the process has ended: the board takes its file going
// away for an unplug.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "lumen/BluetoothDevice.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "sim/VirtualBled112.h"

namespace {

const char* const kScenario = R"({
  "radio": {"variant": "module", "firmware": {"major": 1, "minor": 8, "patch": 0, "build": 149}},
  "peripherals": [{
    "name": "phone", "address": "5a:10:20:30:40:50", "address_type": "random",
    "adv_interval_ms": 20, "adv_data": {"flags": 6, "uuids128": ["a3c87500-8ed3-4bdf-8a39-a01bebede295"]},
    "rssi": -55,
    "gatt": [{"uuid": "a3c87500-8ed3-4bdf-8a39-a01bebede295", "characteristics": [
      {"uuid": "a3c87501-8ed3-4bdf-8a39-a01bebede295", "properties": ["write", "write_without_response"]},
      {"uuid": "a3c87502-8ed3-4bdf-8a39-a01bebede295", "properties": ["notify"]}]}],
    "behaviours": [{"on": "write", "characteristic": "a3c87501-8ed3-4bdf-8a39-a01bebede295",
      "notify": "a3c87502-8ed3-4bdf-8a39-a01bebede295", "values": ["01"], "count": 2000, "interval_ms": 5}]
  }]
})";

const lumen::Uuid kService(std::string("a3c87500-8ed3-4bdf-8a39-a01bebede295"));
const lumen::Uuid kWrite(std::string("a3c87501-8ed3-4bdf-8a39-a01bebede295"));
const lumen::Uuid kNotify(std::string("a3c87502-8ed3-4bdf-8a39-a01bebede295"));

std::mutex g_mutex;
std::condition_variable g_changed;
int g_adverts = 0;
int g_notifications = 0;
std::shared_ptr<lumen::BluetoothDevice> g_phone;

bool OnAdvert(std::shared_ptr<lumen::BluetoothDevice>& device) {
  std::lock_guard lock(g_mutex);
  ++g_adverts;
  g_phone = device;
  g_changed.notify_all();
  return true;
}

template <class Predicate>
bool WaitFor(Predicate ready) {
  std::unique_lock lock(g_mutex);
  return g_changed.wait_for(lock, std::chrono::seconds(20), ready);
}

// Runs the virtual radio in a child process until the parent has gone, so
// that only the library's own threads are alive while this process exits.
std::string StartRadio() {
  int pathPipe[2];
  int lifePipe[2];
  if (pipe(pathPipe) != 0 || pipe(lifePipe) != 0) {
    std::perror("pipe");
    std::exit(2);
  }
  if (fork() == 0) {
    close(pathPipe[0]);
    close(lifePipe[1]);
    lumen::sim::VirtualBled112Options options;
    options.clockMode = lumen::sim::SimClock::Mode::kRealTime;
    {
      lumen::sim::VirtualBled112 radio(lumen::sim::Scenario::FromJson(kScenario), options);
      const std::string path = radio.Path() + "\n";
      if (write(pathPipe[1], path.data(), path.size()) < 0) {
        _exit(2);
      }
      char byte;
      while (read(lifePipe[0], &byte, 1) > 0) {
      }
    }
    _exit(0);
  }
  close(pathPipe[1]);
  close(lifePipe[0]);  // lifePipe[1] stays open until this process is gone
  std::string path;
  char c;
  while (read(pathPipe[0], &c, 1) == 1 && c != '\n') {
    path += c;
  }
  return path;
}

// The virtual nRF52 board runs inside this process, on its own threads, as
// pc-ble-driver's do, on its real-time clock: opened as an application opens
// it, with the scenario's path as the port.
std::string WriteBoardScenario(const std::string& path) {
  std::ofstream(path) << kScenario;
  return path;
}

}  // namespace

int main(int argc, char** argv) try {
  const bool nordic = argc > 1 && std::string(argv[1]) == "nrf52";
  if (nordic && argc < 3) {
    std::fprintf(stderr, "nrf52 needs the path to write the board's scenario to\n");
    return 2;
  }
  const std::string port = nordic ? WriteBoardScenario(argv[2]) : StartRadio();
  const bool opened = !port.empty() && lumen::Initialize(port, 0, nordic ? lumen::NordicNRF52 : lumen::BLE113, false);
  if (!opened) {
    std::fprintf(stderr, "cannot open the virtual radio\n");
    return 2;
  }
  static std::unique_ptr<lumen::Scanner> scanner = lumen::GetScanner();
  scanner->SetAdvCallback(&OnAdvert);
  scanner->StartLeScan();
  if (!WaitFor([] { return g_adverts >= 5; })) {
    std::fprintf(stderr, "no advertisements\n");
    return 2;
  }

  // A connection with a notification stream still running at exit.
  std::shared_ptr<lumen::BluetoothDevice> phone;
  {
    std::lock_guard lock(g_mutex);
    phone = g_phone;
  }
  phone->Connect();
  static std::unique_ptr<lumen::GattService> service = phone->GetService(kService);
  static std::unique_ptr<lumen::GattCharacteristic> notifying = service->GetCharacteristic(kNotify);
  notifying->SetCharacteristicChangedCallback([](const std::vector<uint8_t>& /*value*/) {
    std::lock_guard lock(g_mutex);
    ++g_notifications;
    g_changed.notify_all();
  });
  notifying->EnableCharacteristicNotification(true);
  service->GetCharacteristic(kWrite)->WriteValue({0x01}, true, false);
  if (!WaitFor([] { return g_notifications >= 20; })) {
    std::fprintf(stderr, "no notifications\n");
    return 2;
  }
  std::fprintf(stdout, "returning from main with %d advertisements and %d notifications seen\n", g_adverts,
               g_notifications);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "failed before returning from main: %s\n", e.what());
  return 2;
}
