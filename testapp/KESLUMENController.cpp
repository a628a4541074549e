#include "KESLUMENController.h"

#include <lumen/BluegigaCommands.h>
#include <lumen/BluetoothDeviceType.h>
#include <lumen/GattService.h>
#include <lumen/Lumen.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <optional>

#include "ConsoleOutput.h"

namespace lumenTestApp {

namespace {

using lumen::Logger;

// Lets the scan callback, a plain function, reach the one controller.
std::atomic<KESLUMENController*> g_controller{nullptr};

const wchar_t* const kScanJobName = L"lumenTestApp";

// Shared with the response characteristic's callback, which may still be
// delivering a late notification when the exchange that set it up has ended.
struct ResponseChunks {
  std::atomic<unsigned> count{0};
  std::mutex mutex;
  std::condition_variable allReceived;
  bool done = false;  // under mutex
};

// GetCharacteristic throws for a characteristic the service lacks; a phone
// that lacks one is told apart from a link that failed.
std::unique_ptr<lumen::GattCharacteristic> CharacteristicIfPresent(lumen::GattService& service,
                                                                   const std::vector<lumen::Uuid>& present,
                                                                   const lumen::Uuid& uuid) {
  for (const lumen::Uuid& candidate : present) {
    if (candidate.EqualTo(uuid)) {
      return service.GetCharacteristic(uuid);
    }
  }
  return nullptr;
}

// GetService throws for a service the phone lacks; such a phone is told
// apart from a link that failed.
std::unique_ptr<lumen::GattService> ServiceIfPresent(lumen::BluetoothDevice& device, const lumen::Uuid& uuid) {
  for (const lumen::Uuid& candidate : device.GetServiceUuids()) {
    if (candidate.EqualTo(uuid)) {
      return device.GetService(uuid);
    }
  }
  return nullptr;
}

// Also used by notification callbacks, which must not let anything escape
// into the library's thread.
void CallLog(KESLUMENController::LogCallback log, Logger::LogType type, const std::string& message) {
  if (log == nullptr) {
    return;
  }
  try {
    log(type, message);
  } catch (...) {
    // Nowhere left to report a failing log callback.
  }
}

}  // namespace

KESLUMENController::KESLUMENController() = default;

KESLUMENController::~KESLUMENController() {
  KESLUMENController* self = this;
  g_controller.compare_exchange_strong(self, nullptr);
  // The program is ending: a radio that goes away now (the reset below makes
  // it) is not to be reopened.
  lumen::SetRadioRecovery(false);
  Log(Logger::INFO, "KESLUMENController start waiting for worker threads to end");
  m_challengeTimer.Cancel();
  m_challengeTimer.Stop();
  m_keepAliveTimer.Cancel();
  m_keepAliveTimer.Stop();
  m_beacon.reset();
  // The scanner's worker may be tracking a phone right now, which ends in
  // RestartSearch: let it see no scanner rather than one being destroyed.
  std::unique_ptr<lumen::Scanner> scanner;
  {
    std::lock_guard lock(m_mutex);
    scanner = std::move(m_scanner);
  }
  scanner.reset();
  // Let go of the phone while the radio is still open, so that its link is
  // closed properly rather than left to fail once the library is gone.
  {
    std::lock_guard lock(m_mutex);
    m_challengeCharacteristic.reset();
    m_responseCharacteristic.reset();
    m_featureCharacteristic.reset();
    m_trackedDevice.reset();
  }
  if (m_initialized && m_resetRadioOnStop) {
    Log(Logger::INFO, "KESLUMENController hard reset of the radio before exiting");
    try {
      lumen::BluegigaCommands::Reset(0, false);
    } catch (const std::exception& e) {
      Log(Logger::WARNING, std::string("WARNING: hard reset of the radio failed: ") + e.what());
    } catch (...) {
      Log(Logger::WARNING, "WARNING: hard reset of the radio failed with non-std::exception");
    }
  }
  lumen::UnInitialize();
  Log(Logger::INFO, "KESLUMENController destructor completed");
}

void KESLUMENController::Log(Logger::LogType type, const std::string& message) const {
  CallLog(m_logCallback, type, message);
}

bool KESLUMENController::Start(const std::string& port, const std::set<std::string>& uuidStrings, bool silent,
                               unsigned scanInterval, unsigned scanWindow, LogCallback logCallback,
                               void (*hardwareFailureCallback)(), void (*softResetCallback)(bool),
                               void (*radioBackCallback)(bool, uint64_t), lumen::AdvCallback advertCallback,
                               bool fullChallengeResponse, uint32_t challengePeriodSeconds) {
  m_logCallback = logCallback;
  m_fullChallengeResponse = fullChallengeResponse;
  if (challengePeriodSeconds != 0) {
    m_challengePeriodSeconds = challengePeriodSeconds;
  }

  // A text that is no UUID is a usage error, found before the radio is opened.
  std::vector<lumen::Uuid> beaconUuids;
  for (const std::string& text : uuidStrings) {
    try {
      lumen::Uuid uuid(text);
      m_trackedUuids.insert(uuid);
      beaconUuids.push_back(uuid);
    } catch (const std::exception& e) {
      Log(Logger::ERROR, "ERROR: invalid UUID " + text + ": " + e.what());
      return false;
    }
  }

  // Before the radio is opened, so that the reason it does not open is shown.
  Logger::SetLogCallback(logCallback);
  // A board that is unplugged or re-enumerates is reopened by the library;
  // the program only reports it and keeps searching.
  lumen::SetRadioRecovery(true);
  lumen::Set_RadioBackCallback(radioBackCallback);
  if (!lumen::Initialize(port, 0, lumen::NordicNRF52, false)) {
    Log(Logger::ERROR, "ERROR: failed to initialize KESLUMEN");
    return false;
  }
  m_initialized = true;

  try {
    m_scanner = lumen::GetScanner();
    m_scanner->SetAdvCallback(advertCallback);
    m_scanner->SetScanCallback(&KESLUMENController::OnScanResult);
    g_controller.store(this);

    lumen::BluegigaCommands::SetBGTimeouts(3000, 65000);
    lumen::BluegigaCommands::SetTXPower(15);

    lumen::Set_HardwareFailureCallback(hardwareFailureCallback);
    lumen::Set_HardwareSoftResetInitiatedCallback(softResetCallback);

    m_scanner->SetScanForNonConnectableDevices(false);
    // The nRF52 scans with the window as its interval, so a window alone is
    // enough and an interval alone changes nothing (main says so).
    if (scanWindow != 0) {
      const unsigned interval = scanInterval != 0 ? scanInterval : scanWindow;
      m_scanner->SetScanParameters(static_cast<unsigned short>(interval), static_cast<unsigned short>(scanWindow));
    }
    m_scanner->SetScanParametersForEstablishingConnections(50, 50);

    ArmChallengeTimer();
    ArmKeepAliveTimer();

    m_scanner->StartLeScan();
    RestartSearch();

    if (!silent) {
      m_beacon = std::make_unique<lumen::BeaconController>(beaconUuids, 160);
    }
  } catch (const std::exception& e) {
    Log(Logger::ERROR, std::string("ERROR: failed to start KESLUMEN: ") + e.what());
    return false;
  }
  return true;
}

bool KESLUMENController::OnScanResult(const std::wstring& /*jobName*/,
                                      std::vector<std::shared_ptr<lumen::BluetoothDevice>>& devices) {
  KESLUMENController* controller = g_controller.load();
  if (controller == nullptr || devices.empty()) {
    return true;
  }
  std::lock_guard lock(controller->m_mutex);
  if (!controller->IsTracking()) {
    controller->TrackDevice(devices.front());
  }
  return true;
}

void KESLUMENController::RestartSearch() {
  std::lock_guard lock(m_mutex);
  m_trackedDevice.reset();
  m_trackedPhoneUuid = lumen::Uuid();
  m_challengeCharacteristic.reset();
  m_responseCharacteristic.reset();
  m_featureCharacteristic.reset();
  if (m_scanner == nullptr) {
    return;
  }
  const std::set<lumen::Uuid> uuids = UuidsToSearch();
  if (uuids.empty()) {
    // Searching for nothing would only make the scanner connect to every
    // UUID-less phone in range; the keep-alive timer searches again later.
    Log(Logger::INFO, "every UUID belongs to a refused phone that is left alone for now: no search until then");
    m_scanner->CancelScanJob(kScanJobName);
    return;
  }
  m_scanner->AddScanJob(kScanJobName, uuids);
}

void KESLUMENController::DropTrackedPhone() {
  std::shared_ptr<lumen::BluetoothDevice> device;
  {
    std::lock_guard lock(m_mutex);
    device = m_trackedDevice;
  }
  if (device != nullptr) {
    Log(Logger::INFO, "disconnect phone MAC " + device->address().ToString() + " and search again");
    DisconnectQuietly(device);
  }
  RestartSearch();
}

std::set<lumen::Uuid> KESLUMENController::UuidsToSearch() {
  LeftAloneTimeIsUp();
  std::set<lumen::Uuid> uuids;
  for (const lumen::Uuid& uuid : m_trackedUuids) {
    if (m_leftAloneUntil.count(uuid) == 0) {
      uuids.insert(uuid);
    }
  }
  return uuids;
}

bool KESLUMENController::LeftAloneTimeIsUp() {
  const auto now = std::chrono::steady_clock::now();
  bool ended = false;
  for (auto it = m_leftAloneUntil.begin(); it != m_leftAloneUntil.end();) {
    if (it->second <= now) {
      it = m_leftAloneUntil.erase(it);
      ended = true;
    } else {
      ++it;
    }
  }
  return ended;
}

void KESLUMENController::Refuse(const std::shared_ptr<lumen::BluetoothDevice>& device, const lumen::Uuid& uuid) {
  m_leftAloneUntil[uuid] = std::chrono::steady_clock::now() + kRefusedPhoneLeftAlone;
  Log(Logger::INFO, "leave phone MAC " + device->address().ToString() + " UUID " + uuid.ToString() + " alone for " +
                        std::to_string(kRefusedPhoneLeftAlone.count()) + " seconds");
}

// A phone that is not tracked is not kept connected: its link would keep it
// matching the search, and it could not be reached by another central.
void KESLUMENController::DisconnectQuietly(const std::shared_ptr<lumen::BluetoothDevice>& device) {
  try {
    if (device->IsConnected()) {
      device->Disconnect();
    }
  } catch (const std::exception& e) {
    Log(Logger::WARNING, std::string("WARNING: disconnecting the phone failed: ") + e.what());
  } catch (...) {
    Log(Logger::WARNING, "WARNING: disconnecting the phone failed with non-std::exception");
  }
}

void KESLUMENController::TrackDevice(const std::shared_ptr<lumen::BluetoothDevice>& device) {
  std::lock_guard lock(m_mutex);
  std::optional<lumen::Uuid> refusedUuid;
  try {
    if (!device->IsConnected()) {
      device->Connect();
    }
    lumen::Uuid uuid;
    if (!device->GetServiceUuidUsedToDetect(uuid)) {
      Log(Logger::ERROR, "ERROR: asked to start tracking device that does not have an identified UUID");
    } else {
      Log(Logger::INFO, "KESLUMEN found phone MAC " + device->address().ToString() + " UUID " + uuid.ToString());
      std::unique_ptr<lumen::GattService> service = ServiceIfPresent(*device, uuid);
      if (service == nullptr) {
        Log(Logger::ERROR, "ERROR: could not get the authentication service");
        refusedUuid = uuid;
      } else {
        const std::vector<lumen::Uuid> present = service->GetCharacteristicUuids();
        auto challenge = CharacteristicIfPresent(*service, present, m_challengeCharacteristicUuid);
        auto response = CharacteristicIfPresent(*service, present, m_responseCharacteristicUuid);
        auto feature = CharacteristicIfPresent(*service, present, m_featureCharacteristicUuid);
        if (challenge == nullptr || response == nullptr || feature == nullptr) {
          Log(Logger::ERROR, "ERROR: could not get the challenge/response/feature characteristics");
          refusedUuid = uuid;
        } else {
          m_trackedDevice = device;
          m_trackedPhoneUuid = uuid;
          m_challengeCharacteristic = std::move(challenge);
          m_responseCharacteristic = std::move(response);
          m_featureCharacteristic = std::move(feature);
        }
      }
    }
  } catch (const std::exception& e) {
    Log(Logger::WARNING, std::string("WARNING: tracking device failed, start searching again: ") + e.what());
  } catch (...) {
    Log(Logger::ERROR, "ERROR: tracking device failed with non-std::exception, start searching again: ");
  }
  if (!IsTracking()) {
    if (refusedUuid) {
      Refuse(device, *refusedUuid);
    }
    DisconnectQuietly(device);
    RestartSearch();
  }
}

bool KESLUMENController::GetTrackedPhone(lumen::Uuid& uuidOut) {
  std::lock_guard lock(m_mutex);
  if (!IsTracking()) {
    return false;
  }
  uuidOut = m_trackedPhoneUuid;
  return true;
}

void KESLUMENController::ChallengeResponse() {
  if (m_fullChallengeResponse) {
    auto chunks = std::make_shared<ResponseChunks>();
    const LogCallback log = m_logCallback;
    m_responseCharacteristic->SetCharacteristicChangedCallback([chunks, log](const std::vector<uint8_t>& value) {
      const unsigned count = ++chunks->count;
      CallLog(log, Logger::INFO,
              "received chunk " + std::to_string(count) + " #bytes = " + std::to_string(value.size()));
      if (count == kChunksInResponse) {
        CallLog(log, Logger::INFO, "got all chunks, signal challenge/response thread.");
        std::lock_guard lock(chunks->mutex);
        chunks->done = true;
        chunks->allReceived.notify_all();
      }
    });
    const std::vector<uint8_t> challenge(kChallengeSize, kChallengeByte);
    m_responseCharacteristic->EnableCharacteristicNotification(true);
    m_challengeCharacteristic->WriteValue(challenge, true, false);
    bool allReceived = false;
    {
      std::unique_lock lock(chunks->mutex);
      allReceived = chunks->allReceived.wait_for(lock, std::chrono::milliseconds(kResponseWaitMs),
                                                 [&chunks] { return chunks->done; });
    }
    Log(Logger::INFO, allReceived ? "challenge/response thread wakes up - all chunks received"
                                  : "challenge/response thread wakes up - all chunks NOT received");
    m_responseCharacteristic->EnableCharacteristicNotification(false);
    Log(Logger::INFO, "challenge/response succeeded");
    m_responseCharacteristic->SetCharacteristicChangedCallback({});
    return;
  }
  Log(Logger::INFO,
      "skip full challenge/response, just disable notifications (so that this test includes writing to "
      "characteristics)");
  const LogCallback log = m_logCallback;
  m_responseCharacteristic->SetCharacteristicChangedCallback([log](const std::vector<uint8_t>&) {
    CallLog(log, Logger::WARNING,
            "challenge/response got notification callback even though it never enabled notifications");
  });
  m_responseCharacteristic->EnableCharacteristicNotification(false);
  m_responseCharacteristic->SetCharacteristicChangedCallback({});
}

void KESLUMENController::OnTimerChallengeResponse() {
  const char* const where = "KESLUMENController::OnTimerChallengeResponse";
  RunTimerStep(where, [this] {
    std::lock_guard lock(m_mutex);
    if (SkippedWithoutPhone("challenge/response")) {
      return;
    }
    ExchangeOrRestartSearch("challenge/response", [this] {
      ChallengeResponse();
      return true;
    });
  });
  RearmOrEndProcess(where, "challenge/response", m_challengeTimer, &KESLUMENController::ArmChallengeTimer);
}

void KESLUMENController::OnTimerKeepAlive() {
  const char* const where = "KESLUMENController::OnTimerKeepAlive";
  RunTimerStep(where, [this] {
    std::lock_guard lock(m_mutex);
    if (SkippedWithoutPhone("keepalive")) {
      if (LeftAloneTimeIsUp()) {
        RestartSearch();  // with the UUIDs of the phones left alone until now
      }
      return;
    }
    ExchangeOrRestartSearch("keepalive", [this] {
      if (m_featureCharacteristic == nullptr) {
        return false;
      }
      m_featureCharacteristic->ReadValue(true);
      Log(Logger::INFO, "keepalive succeeded");
      return true;
    });
  });
  RearmOrEndProcess(where, "keepalive", m_keepAliveTimer, &KESLUMENController::ArmKeepAliveTimer);
}

bool KESLUMENController::SkippedWithoutPhone(const std::string& what) {
  if (IsTracking()) {
    return false;
  }
  Log(Logger::INFO, "no device being tracked, " + what + " skipped");
  return true;
}

// The phone that fails an exchange is given up: the search starts again.
void KESLUMENController::ExchangeOrRestartSearch(const std::string& what, const std::function<bool()>& exchange) {
  bool succeeded = false;
  try {
    succeeded = exchange();
  } catch (const std::exception& e) {
    Log(Logger::WARNING, "std::exception during " + what + ": " + e.what());
  } catch (...) {
    Log(Logger::ERROR, "non-std::exception during " + what);
  }
  if (!succeeded) {
    Log(Logger::INFO, what + " failed, so re-start search for a device");
    RestartSearch();
  }
}

void KESLUMENController::RunTimerStep(const char* where, const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    Log(Logger::ERROR, std::string(where) + " got exception: " + e.what());
  } catch (...) {
    Log(Logger::ERROR, std::string(where) + " got non-std::exception");
  }
}

// A timer that cannot be re-armed would silently stop the test: end the run.
void KESLUMENController::RearmOrEndProcess(const char* where, const char* what, PeriodicTimer& timer,
                                           void (KESLUMENController::*arm)()) {
  try {
    timer.Cancel();
    (this->*arm)();
  } catch (const std::exception& e) {
    Log(Logger::ERROR,
        std::string(where) + " got exception starting timer, so " + what + " will never happen again: " + e.what());
    EndProcess(1);
  } catch (...) {
    Log(Logger::ERROR,
        std::string(where) + " got non-std::exception starting timer, so " + what + " will never happen again");
    EndProcess(1);
  }
}

void KESLUMENController::ArmChallengeTimer() {
  m_challengeTimer.Start(m_challengePeriodSeconds, [this] { OnTimerChallengeResponse(); });
}

void KESLUMENController::ArmKeepAliveTimer() {
  m_keepAliveTimer.Start(m_keepAlivePeriodSeconds, [this] { OnTimerKeepAlive(); });
}

}  // namespace lumenTestApp
