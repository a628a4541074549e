#pragma once

#include <lumen/BeaconController.h>
#include <lumen/BluetoothDevice.h>
#include <lumen/GattCharacteristic.h>
#include <lumen/Logger.h>
#include <lumen/ScanCallbacks.h>
#include <lumen/Scanner.h>
#include <lumen/Uuid.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "PeriodicTimer.h"

namespace lumenTestApp {

// Drives the library for the test program: opens an nRF52 radio, beacons and
// scans for the given UUIDs, tracks the first phone found and keeps its
// connection busy with a periodic challenge/response exchange and a periodic
// keep-alive read. Any failure drops the phone and starts a new search. The
// library reopens a radio whose port went away, and the search goes on.
class KESLUMENController {
 public:
  using LogCallback = lumen::Logger::Callback;

  KESLUMENController();
  // Stops both timers, the beacon and the scanner, then lets go of the radio.
  ~KESLUMENController();
  KESLUMENController(const KESLUMENController&) = delete;
  KESLUMENController& operator=(const KESLUMENController&) = delete;

  bool Start(const std::string& port, const std::set<std::string>& uuidStrings, bool silent, unsigned scanInterval,
             unsigned scanWindow, LogCallback logCallback, void (*hardwareFailureCallback)(),
             void (*softResetCallback)(bool), void (*radioBackCallback)(bool, uint64_t),
             lumen::AdvCallback advertCallback, bool fullChallengeResponse, uint32_t challengePeriodSeconds);

  void RestartSearch();
  // Disconnects the tracked phone, if any, and searches again.
  void DropTrackedPhone();
  void TrackDevice(const std::shared_ptr<lumen::BluetoothDevice>& device);
  bool GetTrackedPhone(lumen::Uuid& uuidOut);
  void OnTimerChallengeResponse();
  void OnTimerKeepAlive();
  // The destructor resets the radio before letting go of it.
  void ResetRadioOnStop() { m_resetRadioOnStop = true; }

  static bool OnScanResult(const std::wstring& jobName, std::vector<std::shared_ptr<lumen::BluetoothDevice>>& devices);

 private:
  static constexpr size_t kChallengeSize = 19;
  static constexpr uint8_t kChallengeByte = 0x55;
  static constexpr unsigned kChunksInResponse = 14;
  static constexpr unsigned kResponseWaitMs = 2000;
  // A refused phone would otherwise be reported, connected and refused again
  // at every scanner tick, and no other phone would ever be looked at.
  static constexpr std::chrono::seconds kRefusedPhoneLeftAlone{60};

  void Log(lumen::Logger::LogType type, const std::string& message) const;
  bool IsTracking() const { return m_trackedDevice != nullptr; }
  void ChallengeResponse();
  void Refuse(const std::shared_ptr<lumen::BluetoothDevice>& device, const lumen::Uuid& uuid);
  void DisconnectQuietly(const std::shared_ptr<lumen::BluetoothDevice>& device);
  std::set<lumen::Uuid> UuidsToSearch();
  bool LeftAloneTimeIsUp();
  void ArmChallengeTimer();
  void ArmKeepAliveTimer();
  void RunTimerStep(const char* where, const std::function<void()>& step);
  // True, once it has logged that `what` is skipped, when no phone is tracked.
  bool SkippedWithoutPhone(const std::string& what);
  void ExchangeOrRestartSearch(const std::string& what, const std::function<bool()>& exchange);
  void RearmOrEndProcess(const char* where, const char* what, PeriodicTimer& timer, void (KESLUMENController::*arm)());

  std::unique_ptr<lumen::BeaconController> m_beacon;
  std::unique_ptr<lumen::Scanner> m_scanner;
  std::set<lumen::Uuid> m_trackedUuids;
  PeriodicTimer m_challengeTimer;
  uint32_t m_challengePeriodSeconds = 300;
  bool m_fullChallengeResponse = true;
  PeriodicTimer m_keepAliveTimer;
  uint32_t m_keepAlivePeriodSeconds = 3;
  const lumen::Uuid m_responseCharacteristicUuid{std::string("0B9DB0E5-C5B3-4043-8294-44D8112ADC54")};
  const lumen::Uuid m_challengeCharacteristicUuid{std::string("7198C97A-914A-432D-B828-0EEA0E2B65FC")};
  const lumen::Uuid m_featureCharacteristicUuid{std::string("57862960-5B0F-4CE0-A255-30997B420C79")};

  std::recursive_mutex m_mutex;  // the tracked phone and its characteristics
  std::shared_ptr<lumen::BluetoothDevice> m_trackedDevice;
  lumen::Uuid m_trackedPhoneUuid;
  std::unique_ptr<lumen::GattCharacteristic> m_challengeCharacteristic;
  std::unique_ptr<lumen::GattCharacteristic> m_responseCharacteristic;
  std::unique_ptr<lumen::GattCharacteristic> m_featureCharacteristic;
  // UUIDs of refused phones, left out of the search until the time given. A
  // UUID names one phone, so leaving the UUID out leaves the phone alone.
  std::map<lumen::Uuid, std::chrono::steady_clock::time_point> m_leftAloneUntil;

  LogCallback m_logCallback = nullptr;
  bool m_initialized = false;
  bool m_resetRadioOnStop = false;
};

}  // namespace lumenTestApp
