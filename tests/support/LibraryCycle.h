#pragma once

// One application session against a virtual BLED112, repeated to find what a
// session leaves behind: open the library, scan until the phone advertises,
// connect, read a value, disconnect, close.

#include <dirent.h>
#include <malloc.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumen/BluetoothDevice.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "sim/VirtualBled112.h"

namespace lumen::testing {

// What the process holds right now.
struct ProcessResources {
  size_t fds = 0;
  size_t threads = 0;
  size_t heapBytes = 0;  // allocated and not freed
};

inline size_t CountEntries(const char* directory) {
  DIR* dir = ::opendir(directory);
  if (dir == nullptr) {
    return 0;
  }
  size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    count += entry->d_name[0] != '.' ? 1 : 0;
  }
  ::closedir(dir);
  return count;
}

inline ProcessResources MeasureProcess() {
  ProcessResources now;
  now.fds = CountEntries("/proc/self/fd") - 1;  // the directory being read
  now.threads = CountEntries("/proc/self/task");
  now.heapBytes = mallinfo2().uordblks;
  return now;
}

class LibraryCycle {
 public:
  static constexpr const char* kScenario = R"({
    "radio": {"variant": "dongle", "firmware": {"major": 1, "minor": 8, "patch": 0, "build": 149}},
    "peripherals": [{
      "name": "phone", "address": "5a:10:20:30:40:50", "address_type": "random", "adv_interval_ms": 100,
      "adv_data": {"flags": 6, "uuids128": ["a3c87500-8ed3-4bdf-8a39-a01bebede295"]}, "rssi": -55,
      "gatt": [{"uuid": "a3c87500-8ed3-4bdf-8a39-a01bebede295", "characteristics": [
        {"uuid": "a3c87503-8ed3-4bdf-8a39-a01bebede295", "properties": ["read"], "value": "2a"}]}]
    }]
  })";

  // The radio stays for every session; its frame log is bounded so that it
  // does not grow with them.
  LibraryCycle() : m_radio(sim::Scenario::FromJson(kScenario), Options()) {}

  // One session; "" when every step worked, else what failed.
  std::string Run() {
    if (!Initialize(m_radio.Path(), 0, BLED112Dongle, false)) {
      return "Initialize failed";
    }
    std::string failure;
    try {
      failure = UseThePhone();
    } catch (const std::exception& e) {
      failure = e.what();
    }
    UnInitialize();
    // The scanner's worker, the only writer, is gone by now.
    std::lock_guard lock(s_mutex);
    s_phone.reset();
    return failure;
  }

 private:
  static sim::VirtualBled112Options Options() {
    sim::VirtualBled112Options options;
    options.frameLogLimit = 256;
    return options;
  }

  static inline std::mutex s_mutex;
  static inline std::condition_variable s_changed;
  static inline std::shared_ptr<BluetoothDevice> s_phone;

  static bool OnAdvert(std::shared_ptr<BluetoothDevice>& device) {
    {
      std::lock_guard lock(s_mutex);
      s_phone = device;
    }
    s_changed.notify_all();
    return true;
  }

  std::string UseThePhone() {
    auto scanner = GetScanner();
    scanner->SetAdvCallback(&OnAdvert);
    scanner->StartLeScan();
    m_radio.Clock().AdvanceMs(100);
    std::shared_ptr<BluetoothDevice> phone;
    {
      std::unique_lock lock(s_mutex);
      s_changed.wait_for(lock, std::chrono::seconds(10), [] { return s_phone != nullptr; });
      phone = std::move(s_phone);
    }
    scanner->StopLeScan();
    if (!phone) {
      return "the phone was not found";
    }
    phone->Connect();
    const auto value = phone->GetService(Uuid(std::string("a3c87500-8ed3-4bdf-8a39-a01bebede295")))
                           ->GetCharacteristic(Uuid(std::string("a3c87503-8ed3-4bdf-8a39-a01bebede295")))
                           ->ReadValue(true);
    phone->Disconnect();
    return value == std::vector<uint8_t>{0x2a} ? "" : "wrong value read";
  }

  sim::VirtualBled112 m_radio;
};

}  // namespace lumen::testing
