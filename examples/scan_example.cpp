// Finds two phones with scan jobs, then talks to one of them.
//
//   lumen_scan_example [-v] [--radio bled112|ble113|nrf52] PORT
//
// -v prints the library's own log lines as well.
// PORT is the radio's serial port: for a BLED112, the terminal that lumen-sim
// prints when started with sim/scenarios/demo.json; for an nRF52 in a build
// without pc-ble-driver, the path of a virtual-board scenario such as
// sim/scenarios/demo.json.
#include <lumen/BluetoothDevice.h>
#include <lumen/GattCharacteristic.h>
#include <lumen/GattService.h>
#include <lumen/Logger.h>
#include <lumen/Lumen.h>
#include <lumen/RadioHealth.h>
#include <lumen/Scanner.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

namespace {

const lumen::Uuid kAdvertisedService("a3c87500-8ed3-4bdf-8a39-a01bebede295");
const lumen::Uuid kWriteCharacteristic("a3c87501-8ed3-4bdf-8a39-a01bebede295");
const lumen::Uuid kNotifyCharacteristic("a3c87502-8ed3-4bdf-8a39-a01bebede295");
const lumen::Uuid kGreetingCharacteristic("a3c87503-8ed3-4bdf-8a39-a01bebede295");
// Served by a phone in the background, which advertises no service at all.
const lumen::Uuid kHiddenService("b7d10000-5e0c-4c3f-9d8a-2f6e1c0b7a11");

std::mutex g_mutex;
std::condition_variable g_changed;
std::map<std::wstring, std::shared_ptr<lumen::BluetoothDevice>> g_found;
int g_notifications = 0;

// Called from every library thread at once.
void OnLog(lumen::Logger::LogType type, const std::string& text) {
  static std::mutex logMutex;
  std::lock_guard lock(logMutex);
  std::cout << "  lumen " << lumen::Logger::LogTypeToString(type) << ": " << text << '\n';
}

// Runs on the scanner's worker thread: only record and signal here, since
// radio calls from a library callback would stall the scanner.
bool OnJobResolved(const std::wstring& job, std::vector<std::shared_ptr<lumen::BluetoothDevice>>& devices) {
  std::lock_guard lock(g_mutex);
  if (!devices.empty()) {
    g_found[job] = devices.front();
  }
  g_changed.notify_all();
  return true;
}

std::shared_ptr<lumen::BluetoothDevice> WaitForJob(const std::wstring& job, std::chrono::seconds limit) {
  std::unique_lock lock(g_mutex);
  g_changed.wait_for(lock, limit, [&] { return g_found.count(job) != 0; });
  const auto found = g_found.find(job);
  return found == g_found.end() ? nullptr : found->second;
}

std::string Text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// What the session cost the radio; docs/health.md explains each figure.
void PrintHealth() {
  const lumen::RadioHealth h = lumen::GetRadioHealth();
  std::cout << "Radio health:\n"
            << "  adverts received " << h.advertsReceived << ", dropped " << h.advertsDropped << '\n'
            << "  garbage bytes " << h.garbageBytes << ", malformed frames " << h.framesMalformed << '\n'
            << "  commands sent " << h.commandsSent << ", answered " << h.commandsAnswered << ", timed out "
            << h.commandsTimedOut << " (no response " << h.commandsNoResponse << ", no completing event "
            << h.commandsNoCompletingEvent << ")\n"
            << "  hardware failures " << h.hardwareFailures << ", resets " << h.resetsRadioError << " radio error / "
            << h.resetsWatchdog << " watchdog / " << h.resetsApplication << " application, port losses " << h.portLosses
            << ", time away " << h.timeAwayMs << " ms\n"
            << "  connections made " << h.connectionsMade << ", failed " << h.connectionsFailed << ", dropped by peer "
            << h.connectionsDroppedByPeer << '\n'
            << "  GATT ok " << h.gattOk << ", failed " << h.gattFailed << ", notifications " << h.notificationsDelivered
            << ", queue high-water " << h.messageQueueHighWater << '\n';
}

int Run(const std::string& port, lumen::BluetoothDeviceType radio) {
  std::cout << "Opening the radio on " << port << '\n';
  if (!lumen::Initialize(port, 0, radio, true)) {
    std::cout << "No radio answered on " << port << '\n';
    return 1;
  }

  auto scanner = lumen::GetScanner();
  scanner->SetScanCallback(&OnJobResolved);
  scanner->AddScanJob(L"advertising-phone", {kAdvertisedService});
  scanner->AddScanJob(L"background-phone", {kHiddenService});
  scanner->StartLeScan();
  std::cout << "Scanning for a phone advertising " << kAdvertisedService.ToString() << '\n'
            << "  and for a phone serving " << kHiddenService.ToString() << " without advertising it\n";

  const auto phone = WaitForJob(L"advertising-phone", std::chrono::seconds(20));
  if (!phone) {
    std::cout << "No phone advertised the service\n";
    return 1;
  }
  std::cout << "Found " << phone->address().ToString() << " by its advertisement, mean RSSI " << phone->MeanRssi()
            << " dBm\n";

  const auto background = WaitForJob(L"background-phone", std::chrono::seconds(30));
  if (background) {
    std::cout << "Found " << background->address().ToString() << " by connecting to it and reading its services\n";
  } else {
    std::cout << "The background phone was not found\n";
  }
  scanner->StopLeScan();

  std::cout << "Connecting to " << phone->address().ToString() << '\n';
  phone->Connect();
  auto service = phone->GetService(kAdvertisedService);
  std::cout << "Read: \"" << Text(service->GetCharacteristic(kGreetingCharacteristic)->ReadValue(true)) << "\"\n";

  auto notifying = service->GetCharacteristic(kNotifyCharacteristic);
  // Runs on the library's notification thread.
  notifying->SetCharacteristicChangedCallback([](const std::vector<uint8_t>& value) {
    std::lock_guard lock(g_mutex);
    std::cout << "Notification: " << lumen::ToString(value) << '\n';
    ++g_notifications;
    g_changed.notify_all();
  });
  notifying->EnableCharacteristicNotification(true);
  service->GetCharacteristic(kWriteCharacteristic)->WriteValue({0x01}, true, false);
  {
    std::unique_lock lock(g_mutex);
    g_changed.wait_for(lock, std::chrono::seconds(5), [] { return g_notifications >= 3; });
  }
  notifying->EnableCharacteristicNotification(false);
  phone->Disconnect();
  std::cout << "Disconnected; " << g_notifications << " notifications received\n";
  return 0;
}

}  // namespace

int Usage(const char* program) {
  std::cerr << "usage: " << program << " [-v] [--radio bled112|ble113|nrf52] PORT\n";
  return 2;
}

int main(int argc, char** argv) {
  bool verbose = false;
  lumen::BluetoothDeviceType radio = lumen::BLED112Dongle;
  std::string port;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-v") {
      verbose = true;
    } else if (arg == "--radio" && i + 1 < argc) {
      const std::string name = argv[++i];
      if (name == "bled112") {
        radio = lumen::BLED112Dongle;
      } else if (name == "ble113") {
        radio = lumen::BLE113;
      } else if (name == "nrf52") {
        radio = lumen::NordicNRF52;
      } else {
        return Usage(argv[0]);
      }
    } else if (port.empty() && !arg.empty() && arg[0] != '-') {
      port = arg;
    } else {
      return Usage(argv[0]);
    }
  }
  if (port.empty()) {
    return Usage(argv[0]);
  }
  if (verbose) {
    lumen::Logger::SetLogCallback(&OnLog);
  }
  int status = 1;
  try {
    status = Run(port, radio);
  } catch (const std::exception& e) {
    std::cout << "Failed: " << e.what() << '\n';
  }
  PrintHealth();
  lumen::UnInitialize();
  return status;
}
