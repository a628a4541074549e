#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumen/BGLibError.h"
#include "lumen/BluegigaCommands.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Errors.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Logger.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "lumen/Uuid.h"
#include "support/CallOutcome.h"
#include "support/Guard.h"
#include "support/LibraryTimeouts.h"
#include "support/LogCapture.h"
#include "support/PhoneCharacteristics.h"
#include "support/PhoneScenario.h"
#include "support/RemoteBled112.h"

namespace lumen::testing {

using Bytes = std::vector<uint8_t>;

inline constexpr int kDefaultTimeoutMs = 3000;  // the library's own
inline constexpr int kNoResponseCode = 0x9001;
inline constexpr int kDisconnectedCode = 0x9000;

// Two phones near a BLED112: one advertises its service, one only
// manufacturer data. Writing the first one's writable characteristic makes it
// notify three values.
std::string PhonesScenario(const std::string& variant = "dongle", const std::string& firmware = kFirmware18);

// What the application's callbacks saw. They are plain function pointers, so
// the record is global.
struct AppRecord {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, std::shared_ptr<BluetoothDevice>> devices;  // by address text
  std::map<std::string, int> adverts;
  std::vector<std::wstring> jobs;
  std::vector<std::string> jobAddresses;
  int hardwareFailures = 0;
  std::vector<bool> softResets;

  void Reset();
  // Waits until `done` holds under the lock; the guard only ends a hang.
  template <class Predicate>
  bool WaitUntil(Predicate done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kGuard, [&] { return done(); });
  }
};
extern AppRecord g_app;

bool RecordAdvert(std::shared_ptr<BluetoothDevice>& device);
bool RecordScanJob(const std::wstring& job, std::vector<std::shared_ptr<BluetoothDevice>>& devices);
void RecordHardwareFailure();
void RecordSoftReset(bool removesDevice);

// The library on the virtual BLED112's port, the radio driven through
// lumen-sim's control channel: only what an application can call.
class SerialTest : public ::testing::Test, protected PhoneCharacteristics {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::string& Port() const;
  // A new radio with this scenario, then the library opened on the port.
  void Open(const std::string& scenario, BluetoothDeviceType type = BLED112Dongle, bool checkFunctional = false);
  // Initialize on the port; the timeouts are set patient once open.
  bool InitializeOnPort(BluetoothDeviceType type = BLED112Dongle, bool checkFunctional = false);
  // Drops what the application holds, then closes the library.
  void Close();
  // Sets the library's time-outs while it is closed (they outlast UnInitialize).
  void SetTimeoutsForTheNextOpen(int responseMs, int eventMs, BluetoothDeviceType type = BLED112Dongle);

  int HardwareFailures();
  std::shared_ptr<BluetoothDevice> Device(const std::string& address);
  int Adverts(const std::string& address);
  // Scans until an advertisement of that device reaches the application.
  std::shared_ptr<BluetoothDevice> Find(const std::string& address, bool keepScanning = false);
  void ConnectPhone();
  // The radio's connection number of the one link.
  uint8_t RadioConnection();
  // A command round trip: what the radio sent before its answer has been handled.
  void Barrier();

  LogCapture m_log;
  std::unique_ptr<RemoteBled112> m_radio;
  std::unique_ptr<Scanner> m_scanner;
  std::shared_ptr<BluetoothDevice> m_phone;
};

}  // namespace lumen::testing
