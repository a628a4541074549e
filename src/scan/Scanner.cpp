#include "lumen/Scanner.h"

#include <boost/asio/error.hpp>
#include <boost/core/noncopyable.hpp>
#include <chrono>
#include <exception>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/BluetoothSDK.h"
#include "core/CallbacksManager.h"
#include "core/ConnectionTable.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "core/RadioRecovery.h"
#include "core/RadioSettings.h"
#include "lumen/Address.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Errors.h"
#include "platform/Clock.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"
#include "scan/ScanStatistics.h"
#include "scan/ScannerImpl.h"

namespace lumen {

using details::GetBluetoothSDK;
using details::kDebug;
using details::kError;
using details::kInfo;
using details::kWarning;
using details::Log;

namespace {

int64_t ToSystemTicks(std::chrono::system_clock::time_point time) {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, details::kSystemTicksPerSecond>>;
  return std::chrono::duration_cast<Ticks>(time.time_since_epoch()).count();
}

// m_stopTimerEvent is set however the tick handler leaves, so destruction
// never waits on a tick that failed half-way.
class SetOnExit : private boost::noncopyable {
 public:
  explicit SetOnExit(details::Event& event) : m_event(event) {}
  ~SetOnExit() { m_event.Set(); }

 private:
  details::Event& m_event;
};

}  // namespace

Scanner::Impl::Impl() {
  m_stopTimerEvent.SetIgnoreGlobalReset();
  m_stopTimerEvent.Set();
  GetBluetoothSDK()->SetScanningStateCallback([](bool /*scanning*/) {});
  SubscribeEvents();
}

Scanner::Impl::~Impl() {
  Log(kInfo, "lumen::Scanner::Impl::~Impl");
  m_stopped = true;
  CancelTimer();
  try {
    UnsubscribeEvents();
  } catch (const std::exception& e) {
    Log(kError, "Failed to unsubscribe from events - reason:", e.what());
  }
  Log(kInfo, "Scanner start waiting for worker thread to end");
  m_queue.Stop();
  Log(kInfo, "Scanner done waiting for worker thread to end, wait for stop-timer event");
  if (!m_stopTimerEvent.WaitFor(static_cast<uint32_t>(m_stopTimerWaitSeconds) * 1000)) {
    Log(kDebug, "Stop timer timeout is expired");
  }
  Log(kInfo, "Scanner done waiting for stop-timer event");
}

void Scanner::Impl::SubscribeEvents() {
  using details::Subscribe;
  if (m_scanResponseSubscription != 0) {
    throw details::KesBluetoothSDKLibError("already subscribed", details::kErrorGeneral);
  }
  Subscribe<const details::bglib::ble_msg_gap_scan_response_evt_t*>(
      "ble_evt_gap_scan_response",
      [this](const details::bglib::ble_msg_gap_scan_response_evt_t* record) { OnScanResponse(record); },
      &m_scanResponseSubscription);
  Subscribe<const void*>(
      "ble_evt_hardware_radio_error",
      [this](const void* /*record*/) {
        Log(kInfo, "received ble_evt_hardware_radio_error, reset hardware");
        m_queue.Post([this] {
          details::Count(details::Health().resetsRadioError);
          ForceResetAfterHardwareRadioError();
        });
      },
      &m_radioErrorSubscription);
  Subscribe<const details::bglib::ble_msg_connection_version_ind_evt_t*>(
      "ble_evt_connection_version_ind", [](const details::bglib::ble_msg_connection_version_ind_evt_t* /*record*/) {},
      &m_versionIndSubscription);
  // The Nordic radio pauses scanning after every report and asks for a restart.
  Subscribe<void*>(
      "request_start_scan", [this](void* /*unused*/) { m_queue.Post([this] { StartScanIfIdle(); }); },
      &m_startScanSubscription);
  Subscribe<unsigned int>(
      "common_evt_disconnect",
      [this](unsigned int /*native*/) { m_lastDisconnectTime.store(details::SystemClockTicks()); },
      &m_disconnectSubscription);
}

void Scanner::Impl::UnsubscribeEvents() {
  if (m_scanResponseSubscription == 0) {
    return;
  }
  const auto unsubscribe = [](int& id, const char* failure) {
    const int held = id;
    id = 0;
    if (!details::Unsubscribe(held)) {
      throw details::KesBluetoothSDKLibError(failure, details::kErrorGeneral);
    }
  };
  unsubscribe(m_scanResponseSubscription, "scanner failed to unsubscribe from event");
  unsubscribe(m_radioErrorSubscription, "scanner failed to unsubscribe from ble_evt_hardware_radio_error");
  unsubscribe(m_versionIndSubscription, "scanner failed to unsubscribe from ble_evt_connection_version_ind");
  unsubscribe(m_startScanSubscription, "scanner failed to unsubscribe from request_start_scan");
  unsubscribe(m_disconnectSubscription, "scanner failed to unsubscribe from common_evt_disconnect");
}

void Scanner::Impl::AddScanJob(const std::wstring& name, const std::set<Uuid>& uuids) {
  m_queue.Post([this, name, uuids] {
    m_devices.AddJob(name, uuids);
    if (!ShouldScan()) {
      return;
    }
    if (!GetBluetoothSDK()->IsScanning()) {
      Log(kInfo, "Start scanning after adding scan job");
      StartLeScanImpl();
    } else if (!m_timerArmed) {
      ArmTimer();  // the radio scans already, but only a tick resolves the job
    }
  });
}

void Scanner::Impl::CancelScanJob(const std::wstring& name) {
  m_queue.Post([this, name] {
    m_devices.CancelJob(name);
    if (!ShouldScan()) {
      Log(kInfo, "Stop scanning after cancelling scan job");
      StopLeScanImpl();
    }
  });
}

void Scanner::Impl::SetScanParameters(unsigned short interval, unsigned short window) {
  details::RememberScanParameters(interval, window, 0);
  GetBluetoothSDK()->SetScanParameters(interval, window, 0);
}

void Scanner::Impl::SetScanParametersForEstablishingConnections(unsigned short interval, unsigned short window) {
  details::RememberConnectionScanParameters(interval, window);
  GetBluetoothSDK()->SetScanParametersForEstablishingConnections(interval, window);
}

void Scanner::Impl::StartLeScan() {
  m_stopped = false;
  StartLeScanImpl();
}

void Scanner::Impl::StopLeScan() {
  Log(kDebug, "lumen::Scanner::Impl::StopLeScan");
  m_stopped = true;
  StopLeScanImpl();
}

bool Scanner::Impl::IsConnected() {
  std::shared_ptr<details::IBluetoothSDK> sdk;
  try {
    sdk = GetBluetoothSDK();
  } catch (const details::KesBluetoothSDKLibError&) {
    return false;
  }
  return sdk->IsDeviceOpen();
}

bool Scanner::Impl::ShouldScan() {
  if (m_stopped) {
    return false;
  }
  if (GetBluetoothSDK()->SupportsContinuousScanning() || m_devices.HasJobs() || details::AnyConnectionOpen()) {
    return true;
  }
  const int64_t now = details::SystemClockTicks();
  const auto recent = [now](int64_t time) { return now - time < kRecentActivityTicks; };
  if (recent(m_devices.LastJobCancelTime())) {
    Log(kDebug, "continue scanning because of a recent scan job cancellation");
    return true;
  }
  if (recent(m_lastDisconnectTime.load())) {
    Log(kDebug, "continue scanning because of a recent disconnection");
    return true;
  }
  if (recent(ToSystemTicks(BluetoothDevice::GetTimeLastAttemptedConnection()))) {
    Log(kDebug, "continue scanning because of a recent connection attempt");
    return true;
  }
  Log(kDebug, "do not continue scanning - no recent activity to cause scanning to continue");
  return false;
}

void Scanner::Impl::StartLeScanImpl() {
  if (!ShouldScan()) {
    Log(kDebug, "StartLeScanImpl does not start scanning at this time");
    return;
  }
  Log(kInfo, "StartLeScanImpl starts");
  try {
    StopLeScanImpl();
  } catch (...) {
    // A radio that was not scanning may refuse to end the procedure.
  }
  try {
    GetBluetoothSDK()->StartScan(m_scanForNonConnectable.load());
  } catch (...) {
    // The tick still has to run: it retries the start and its watchdog
    // resets a radio that keeps refusing. Without it scanning would stay
    // off until the application noticed.
    ArmTimer();
    throw;
  }
  ArmTimer();
  Log(kInfo, "StartLeScanImpl ends");
}

void Scanner::Impl::StopLeScanImpl() {
  Log(kInfo, "StopLeScanImpl starts");
  CancelTimer();
  GetBluetoothSDK()->EndProcedure();
  Log(kInfo, "StopLeScanImpl ends");
}

void Scanner::Impl::ArmTimer() {
  std::lock_guard lock(m_armMutex);
  m_timerArmed = true;
  ++m_timerArms;
  m_queue.ArmTimer(std::chrono::milliseconds(m_timerIntervalMs.load()),
                   [this](const boost::system::error_code& ec) { OnTimer(ec); });
}

void Scanner::Impl::CancelTimer() {
  std::lock_guard lock(m_armMutex);
  m_timerArmed = false;
  m_queue.CancelTimer();
}

void Scanner::Impl::StartScanIfIdle() {
  if (ShouldScan() && !GetBluetoothSDK()->IsScanning()) {
    GetBluetoothSDK()->StartScan(m_scanForNonConnectable.load());
  }
}

void Scanner::Impl::OnTimer(const boost::system::error_code& ec) {
  m_stopTimerEvent.Reset();
  bool tickFailed = false;
  {
    SetOnExit setStopTimerEvent(m_stopTimerEvent);
    if (ec == boost::asio::error::operation_aborted) {
      return;  // cancelled: no log, no re-arm
    }
    m_timerArmed = false;
    if (ec) {
      Log(kError,
          "OnTimer callback recieved error code:", std::string(ec.category().name()) + ":" + std::to_string(ec.value()),
          "which is unexpected");
    } else {
      try {
        Log(kDebug, "OnTimer");
        if (details::IsBluetoothSDKOpening()) {
          // A radio being opened cannot yet say whether scanning goes on;
          // stopping now would end the ticks for good.
          Log(kDebug, "OnTimer: the radio is being opened, tick skipped");
        } else {
          if (!ShouldScan()) {
            StopLeScanImpl();
            return;
          }
          Tick();
        }
      } catch (const std::exception& e) {
        Log(kWarning, std::string("OnTimer got exception, which is unexpected: ") + e.what());
        tickFailed = true;
      } catch (...) {
        Log(kWarning, "OnTimer got non-std::exception, which is unexpected");
        tickFailed = true;
      }
    }
  }
  StopOrRearm(tickFailed);
}

void Scanner::Impl::StopOrRearm(bool tickFailed) {
  // Whatever fails here (no library between UnInitialize and Initialize, a
  // radio refusing to stop), the tick must come back while scanning is
  // wanted: it alone runs the watchdog, the jobs and the cache expiry.
  try {
    if (!details::IsBluetoothSDKOpening() && !ShouldScan()) {
      StopLeScanImpl();
      return;
    }
  } catch (const std::exception& e) {
    if (!tickFailed) {  // the same failure was just logged by the tick
      Log(kWarning, std::string("OnTimer got exception, which is unexpected: ") + e.what());
    }
  } catch (...) {
    if (!tickFailed) {
      Log(kWarning, "OnTimer got non-std::exception, which is unexpected");
    }
  }
  if (m_stopped) {
    return;
  }
  CancelTimer();
  ArmTimer();
}

void Scanner::Impl::Tick() {
  details::NoteAdvertsSeen();  // dates the last advertisement to this tick at the latest
  // Radio watchdog. Advertisements are processed on this thread, so the two
  // counters cannot change under this step.
  if (m_advertsSinceTick.exchange(0) != 0 || details::IsRadioAway()) {
    // A radio that is away is not silent: recovery is bringing it back.
    m_ticksWithoutAdverts = 0;
  } else {
    const int32_t silentBefore = m_ticksWithoutAdverts.fetch_add(1);
    if (silentBefore == kSilentTicksBeforeReset - 1) {
      Log(kWarning, "trigger reset hardware_radio_error because we've gone", kSilentTicksBeforeReset,
          "timer ticks with no advertisements, indicating the Bluegiga hardware failed");
      m_ticksWithoutAdverts = 0;
      details::Count(details::Health().resetsWatchdog);
      ForceResetAfterHardwareRadioError();
    } else if (silentBefore == kSilentTicksBeforeRestart - 1) {
      Log(kWarning, "restart scanning because we've gone", kSilentTicksBeforeRestart,
          "timer ticks with no advertisements");
      GetBluetoothSDK()->StartScan(m_scanForNonConnectable.load());
    }
  }

  if (!m_devices.HasJobs() && GetBluetoothSDK()->SupportsContinuousScanning()) {
    m_devices.ConnectToDevicesNeedingServiceCheck(false);
  }
  if (m_devices.HasJobs() && m_scanCallback.load() != nullptr) {
    try {
      // Read at each report: a scanner released from its own callback clears
      // it, and the jobs left in this tick are then reported to nobody.
      m_devices.ProcessJobs([this](const std::wstring& name, std::vector<std::shared_ptr<BluetoothDevice>>& devices) {
        if (const ScanCallback callback = m_scanCallback.load(); callback != nullptr) {
          callback(name, devices);
        }
      });
    } catch (const std::exception& e) {
      Log(kWarning, std::string("OnTimer callback caused exception, which is unexpected: ") + e.what());
    } catch (...) {
      Log(kWarning, "OnTimer callback caused non-std::exception, which is unexpected");
    }
  }

  try {
    if (ShouldScan() && !details::IsRadioAway()) {
      if (!GetBluetoothSDK()->IsScanning()) {
        GetBluetoothSDK()->StartScan(m_scanForNonConnectable.load());
      }
      details::ScanStatistics::Instance().EndPeriod();
      details::ScanStatistics::Instance().BeginPeriod();
    }
  } catch (const std::exception& e) {
    Log(kWarning, std::string("start scanning caused exception: ") + e.what());
  }

  m_devices.ExpireCache(static_cast<int>(m_scanCacheTimeoutMs.load()));
}

void Scanner::Impl::OnScanResponse(const details::bglib::ble_msg_gap_scan_response_evt_t* record) {
  details::Count(details::Health().advertsReceived);
  // The record lives only for this call; the packet is a copy the worker may keep.
  auto packet = std::make_shared<const details::AdvPacket>(*record);
  const int32_t pending = ++m_pendingAdverts;
  const int64_t threshold = m_pendingWarnThreshold.load();
  if (pending > threshold) {
    Log(kWarning, pending, "advertisements have been received but are not yet processed");
    m_pendingWarnThreshold.store(threshold * 10);
  }
  m_queue.Post([this, packet = std::move(packet)] { ProcessAdvPacket(packet); });
}

namespace {

void LogProcessAdvPacketFailure(const std::exception* e) {
  if (e != nullptr) {
    Log(kWarning,
        std::string(
            "ProcessAdvPacket crashed. Please report this trace message, which is related to defect TK-2200: ") +
            e->what());
  } else {
    Log(kWarning,
        "ProcessAdvPacket crashed with non-std::exception. Please report this trace message, which is related to "
        "defect TK-2200");
  }
}

}  // namespace

void Scanner::Impl::ProcessAdvPacket(const std::shared_ptr<const details::AdvPacket>& packet) {
  --m_pendingAdverts;
  ++m_advertsSinceTick;
  try {
    if (!ShouldScan()) {
      details::Count(details::Health().advertsDropped);
      return;
    }
    auto [record, newService] = m_devices.RegisterAdvPacket(packet);
    const std::string address = packet->address().ToString();
    details::ScanStatistics::Instance().CountAdvert(address);
    const std::shared_ptr<BluetoothDevice> device = record->device();
    if (const AdvCallback callback = m_advCallback.load(); callback != nullptr) {
      // The callback gets a pointer of its own: it may keep it, move it out
      // or reset it.
      std::shared_ptr<BluetoothDevice> forCallback = device;
      try {
        callback(forCallback);
      } catch (const std::exception& e) {
        LogProcessAdvPacketFailure(&e);  // the device still has to be entered
      } catch (...) {
        LogProcessAdvPacketFailure(nullptr);
      }
    }
    if (newService) {
      Log(kInfo, "New service advertised for MAC:", address, "Mean RSSI:", device->MeanRssi(),
          "Adverts w/o UUID:", device->GetConsecutiveAdvertsWithoutUuidCount(),
          "contents:", lumen::ToString(packet->data()));
      m_devices.CheckForMacSwitch(record);
    }
  } catch (const std::exception& e) {
    LogProcessAdvPacketFailure(&e);
  } catch (...) {
    LogProcessAdvPacketFailure(nullptr);
  }
}

void Scanner::Impl::ForceResetAfterHardwareRadioError() {
  try {
    // One radio for the whole sequence: recovery may put another in its place
    // once this one has gone, and that one must not be closed here.
    const std::shared_ptr<details::IBluetoothSDK> sdk = GetBluetoothSDK();
    const bool removal = sdk->ResetRemovesDevice();
    Log(kInfo, "ForceResetAfterHardwareRadioError: call back to Bluetooth provider");
    details::NotifyHardwareFailure();
    details::NotifyHardwareSoftResetInitiated(removal);
    Log(kInfo, "ForceResetAfterHardwareRadioError: call DelayedNonDFUReset");
    try {
      sdk->DelayedNonDFUReset(removal ? kRemovingResetDelayMs : 0, !removal);
    } catch (...) {
      Log(kError, "ForceResetAfterHardwareRadioError: DelayedNonDFUReset failed");
    }
    if (removal) {
      Log(kInfo, "ForceResetAfterHardwareRadioError: after hardware_radio_error reset, now close serial port");
      sdk->CloseDevice();
    } else {
      Log(kInfo,
          "ForceResetAfterHardwareRadioError: after hardware_radio_error reset will not cause device "
          "removal/arrival, so do not close serial port");
      if (details::IsRadioRecoveryEnabled()) {
        details::ReapplyRadioSettings(*sdk);  // the reset cleared them
      }
    }
    Log(kInfo,
        "ForceResetAfterHardwareRadioError: remove all open connections, since the hardware reset lost all "
        "connections");
    details::ClearAllConnections();
    if (removal) {
      // The reset is still to come: the port is left alone until it is over.
      details::NotifyRadioRemoved(sdk.get(), std::chrono::milliseconds(kRemovingResetDelayMs + kResetSettleMs));
    }
    Log(kInfo, "ForceResetAfterHardwareRadioError: after hardware_radio_error, done handling");
  } catch (const std::exception& e) {
    Log(kError, std::string("Error during ForceResetAfterHardwareRadioError: ") + e.what());
  }
}

void Scanner::Impl::RunOnWorkerForTesting(const std::function<void()>& fn) {
  std::promise<void> done;
  auto finished = done.get_future();
  m_queue.Post([&] {
    try {
      if (fn) {
        fn();
      }
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  finished.get();
}

void Scanner::Impl::TickNowForTesting() { DeliverTimerForTesting({}); }

void Scanner::Impl::DeliverTimerForTesting(const boost::system::error_code& ec) {
  RunOnWorkerForTesting([this, ec] { OnTimer(ec); });
}

Scanner::Scanner() : m_impl(std::make_unique<Impl>()) {}

Scanner::~Scanner() {
  if (!m_impl || (!m_impl->IsWorkerThread() && !details::CallbacksManager::IsPublishingThread())) {
    return;  // the Impl's destructor stops and joins the worker
  }
  // Released from one of its own callbacks: the worker is this thread, and
  // the handler it is in still uses the Impl once the callback returns. Or
  // released inside a bus handler (a characteristic callback): the worker
  // may be waiting for the bus this thread holds. Either way another thread
  // destroys the Impl; its destructor joins the worker once it can go on.
  // No callback runs from here on.
  m_impl->SetScanCallback(nullptr);
  m_impl->SetAdvCallback(nullptr);
  std::thread([impl = std::move(m_impl)]() mutable { impl.reset(); }).detach();
}

void Scanner::AddScanJob(const std::wstring& name, const std::set<Uuid>& uuids) { m_impl->AddScanJob(name, uuids); }
void Scanner::CancelScanJob(const std::wstring& name) { m_impl->CancelScanJob(name); }
void Scanner::SetScanCallback(ScanCallback callback) { m_impl->SetScanCallback(callback); }
void Scanner::SetAdvCallback(AdvCallback callback) { m_impl->SetAdvCallback(callback); }
void Scanner::SetScanCacheTimeout(unsigned int timeoutMs) { m_impl->SetScanCacheTimeout(timeoutMs); }
void Scanner::SetScanForNonConnectableDevices(bool value) { m_impl->SetScanForNonConnectableDevices(value); }
void Scanner::SetScanParameters(unsigned short interval, unsigned short window) {
  m_impl->SetScanParameters(interval, window);
}
void Scanner::SetScanParametersForEstablishingConnections(unsigned short interval, unsigned short window) {
  m_impl->SetScanParametersForEstablishingConnections(interval, window);
}
void Scanner::StartLeScan() { m_impl->StartLeScan(); }
void Scanner::StopLeScan() { m_impl->StopLeScan(); }
bool Scanner::IsConnected() { return m_impl->IsConnected(); }

std::unique_ptr<Scanner> GetScanner() { return std::make_unique<Scanner>(); }

}  // namespace lumen
