// From Initialize to a read and a notification: finds the phone that
// advertises a service, connects, reads a characteristic and receives the
// notifications a write sets off. The API reference's start page walks
// through this program.
//
//   lumen_read_and_notify_example PORT
//
// PORT is an nRF52 connectivity board's serial port, or, in a build without
// pc-ble-driver, the path of a virtual-board scenario: sim/scenarios/demo.json
// has the phone this program looks for.
#include <lumen/BluetoothDevice.h>
#include <lumen/GattCharacteristic.h>
#include <lumen/GattService.h>
#include <lumen/Logger.h>
#include <lumen/Lumen.h>
#include <lumen/Scanner.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

//! [uuids]
const lumen::Uuid kService("a3c87500-8ed3-4bdf-8a39-a01bebede295");
const lumen::Uuid kTrigger("a3c87501-8ed3-4bdf-8a39-a01bebede295");    // written without response
const lumen::Uuid kNotifying("a3c87502-8ed3-4bdf-8a39-a01bebede295");  // notifies
const lumen::Uuid kGreeting("a3c87503-8ed3-4bdf-8a39-a01bebede295");   // readable text
//! [uuids]

// Failure guards only: each wait ends as soon as its event comes.
constexpr auto kFindLimit = std::chrono::seconds(30);
constexpr auto kNotifyLimit = std::chrono::seconds(10);

//! [callbacks]
std::mutex g_mutex;
std::condition_variable g_changed;
std::shared_ptr<lumen::BluetoothDevice> g_phone;
std::vector<std::vector<uint8_t>> g_notifications;

// Any library thread may log, several at once.
void OnLog(lumen::Logger::LogType type, const std::string& text) {
  if (type >= lumen::Logger::WARNING) {
    std::lock_guard lock(g_mutex);
    std::cerr << lumen::Logger::LogTypeToString(type) << ": " << text << '\n';
  }
}

// The scanner's worker thread: keep the device and wake main, which does the
// radio work, so the scanner is not held up.
bool OnJobResolved(const std::wstring& /*job*/, std::vector<std::shared_ptr<lumen::BluetoothDevice>>& devices) {
  std::lock_guard lock(g_mutex);
  if (!devices.empty()) {
    g_phone = devices.front();
  }
  g_changed.notify_all();
  return true;
}

// The library's message-queue thread, with the event bus locked: copy the
// bytes and return; no lumen call from here.
void OnNotification(const std::vector<uint8_t>& value) {
  std::lock_guard lock(g_mutex);
  g_notifications.push_back(value);
  g_changed.notify_all();
}
//! [callbacks]

int Run(const std::string& port) {
  //! [initialize]
  lumen::Logger::SetLogCallback(&OnLog);
  if (!lumen::Initialize(port, 0, lumen::NordicNRF52, false)) {
    std::cout << "No radio on " << port << '\n';
    return 1;
  }
  //! [initialize]

  //! [scan]
  std::unique_ptr<lumen::Scanner> scanner = lumen::GetScanner();
  scanner->SetScanCallback(&OnJobResolved);
  scanner->AddScanJob(L"phone", {kService});
  scanner->StartLeScan();
  std::shared_ptr<lumen::BluetoothDevice> phone;
  {
    std::unique_lock lock(g_mutex);
    g_changed.wait_for(lock, kFindLimit, [] { return g_phone != nullptr; });
    phone = std::move(g_phone);
  }
  if (!phone) {
    std::cout << "No phone advertised " << kService.ToString() << '\n';
    return 1;
  }
  std::cout << "Found " << phone->address().ToString() << '\n';
  //! [scan]

  //! [read]
  phone->Connect();
  std::unique_ptr<lumen::GattService> service = phone->GetService(kService);
  const std::vector<uint8_t> greeting = service->GetCharacteristic(kGreeting)->ReadValue(true);
  std::cout << "Read: \"" << std::string(greeting.begin(), greeting.end()) << "\"\n";
  //! [read]

  //! [notify]
  std::unique_ptr<lumen::GattCharacteristic> notifying = service->GetCharacteristic(kNotifying);
  notifying->SetCharacteristicChangedCallback(&OnNotification);
  notifying->EnableCharacteristicNotification(true);
  // This phone answers a write to the trigger with three notifications.
  service->GetCharacteristic(kTrigger)->WriteValue({0x01}, true, false);
  std::vector<std::vector<uint8_t>> received;
  {
    std::unique_lock lock(g_mutex);
    g_changed.wait_for(lock, kNotifyLimit, [] { return g_notifications.size() >= 3; });
    received = g_notifications;
  }
  for (const std::vector<uint8_t>& value : received) {
    std::cout << "Notification: " << lumen::ToString(value) << '\n';
  }
  notifying->EnableCharacteristicNotification(false);
  //! [notify]

  //! [close]
  phone->Disconnect();
  notifying.reset();
  service.reset();
  scanner.reset();  // waits for the scanner's worker
  //! [close]
  return received.size() >= 3 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " PORT\n";
    return 2;
  }
  int status = 1;
  try {
    status = Run(argv[1]);
  } catch (const std::exception& e) {
    std::cout << "Failed: " << e.what() << '\n';
  }
  //! [uninitialize]
  lumen::UnInitialize();
  lumen::Logger::SetLogCallback(nullptr);
  //! [uninitialize]
  return status;
}
