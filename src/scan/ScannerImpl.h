#pragma once

#include <atomic>
#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "core/Event.h"
#include "core/MessageQueue.h"
#include "lumen/ScanCallbacks.h"
#include "lumen/Scanner.h"
#include "lumen/Uuid.h"
#include "scan/DevicesInRange.h"
#include "scan/ImplVisibility.h"

namespace lumen::details {
class AdvPacket;
namespace bglib {
struct ble_msg_gap_scan_response_evt_t;
struct ble_msg_connection_version_ind_evt_t;
}  // namespace bglib
}  // namespace lumen::details

namespace lumen {

class LUMEN_IMPL_HIDDEN Scanner::Impl : private boost::noncopyable {
 public:
  // Activity this recent (system-clock ticks, 120 s) keeps the radio scanning.
  static constexpr int64_t kRecentActivityTicks = 1'200'000'000;
  // Consecutive ticks without a processed advertisement before the radio is
  // told to scan again, and before it is reset.
  static constexpr int32_t kSilentTicksBeforeRestart = 10;
  static constexpr int32_t kSilentTicksBeforeReset = 300;
  static constexpr uint32_t kDefaultScanCacheTimeoutMs = 900000;  // 15 minutes
  // DelayedNonDFUReset delay when the reset re-enumerates the device, so the
  // transport can be closed before the device vanishes.
  static constexpr uint32_t kRemovingResetDelayMs = 3000;
  // How long a reset device takes to leave the host once its reset is due.
  static constexpr uint32_t kResetSettleMs = 500;

  Impl();
  ~Impl();

  void AddScanJob(const std::wstring& name, const std::set<Uuid>& uuids);
  void CancelScanJob(const std::wstring& name);
  void SetScanCallback(ScanCallback callback) { m_scanCallback.store(callback); }
  void SetAdvCallback(AdvCallback callback) { m_advCallback.store(callback); }
  void SetScanCacheTimeout(unsigned int timeoutMs) { m_scanCacheTimeoutMs.store(timeoutMs); }
  void SetScanForNonConnectableDevices(bool value) { m_scanForNonConnectable.store(value); }
  void SetScanParameters(unsigned short interval, unsigned short window);
  void SetScanParametersForEstablishingConnections(unsigned short interval, unsigned short window);
  void StartLeScan();
  void StopLeScan();
  bool IsConnected();

  // Any thread.
  bool ShouldScan();
  // Whether the caller is this scanner's worker, the thread of its callbacks.
  bool IsWorkerThread() const { return m_queue.IsWorkerThread(); }

  // Seams for tests, so that ticks and the watchdog run without waiting.
  // Set before StartLeScan: a long interval keeps the real timer out of the
  // way, a short one makes real ticks come quickly.
  void SetTickIntervalForTesting(std::chrono::milliseconds interval) { m_timerIntervalMs.store(interval.count()); }
  // Runs one tick on the worker and returns when it is done.
  void TickNowForTesting();
  // Runs the timer handler on the worker with ec, as the timer would.
  void DeliverTimerForTesting(const boost::system::error_code& ec);
  // Runs fn on the worker after everything posted before; returns when done.
  void RunOnWorkerForTesting(const std::function<void()>& fn);
  // Queues fn on the worker without waiting.
  void PostForTesting(std::function<void()> fn) { m_queue.Post(std::move(fn)); }
  int32_t TicksWithoutAdvertsForTesting() const { return m_ticksWithoutAdverts.load(); }
  int32_t PendingAdvertsForTesting() const { return m_pendingAdverts.load(); }
  // How often the tick timer has been armed.
  int64_t TimerArmsForTesting() const { return m_timerArms.load(); }
  // Worker thread only (use RunOnWorkerForTesting).
  details::DevicesInRange& DevicesForTesting() { return m_devices; }

 private:
  void StartLeScanImpl();
  void StopLeScanImpl();
  void ArmTimer();
  void CancelTimer();
  void OnTimer(const boost::system::error_code& ec);
  // The tick's last step: stop scanning when nothing needs it, else re-arm.
  void StopOrRearm(bool tickFailed);
  void Tick();
  void ProcessAdvPacket(const std::shared_ptr<const details::AdvPacket>& packet);
  void ForceResetAfterHardwareRadioError();
  void StartScanIfIdle();

  void OnScanResponse(const details::bglib::ble_msg_gap_scan_response_evt_t* record);
  void SubscribeEvents();
  void UnsubscribeEvents();

  // Read by the worker while the application may set them, hence atomic.
  std::atomic<ScanCallback> m_scanCallback{nullptr};
  std::atomic<AdvCallback> m_advCallback{nullptr};
  int m_scanResponseSubscription = 0;
  int m_radioErrorSubscription = 0;
  int m_versionIndSubscription = 0;
  int m_startScanSubscription = 0;
  int m_disconnectSubscription = 0;
  std::atomic<uint32_t> m_scanCacheTimeoutMs{kDefaultScanCacheTimeoutMs};
  details::MessageQueue m_queue;
  details::DevicesInRange m_devices;
  std::atomic<bool> m_stopped{false};
  std::atomic<bool> m_scanForNonConnectable{false};
  details::Event m_stopTimerEvent;
  std::atomic<int32_t> m_pendingAdverts{0};
  std::atomic<int32_t> m_ticksWithoutAdverts{0};
  std::atomic<int32_t> m_advertsSinceTick{0};
  // Backlog above which the next warning is logged; grows tenfold each time.
  std::atomic<int64_t> m_pendingWarnThreshold{1};
  std::atomic<int64_t> m_timerIntervalMs{1000};
  int m_stopTimerWaitSeconds = 60;
  std::atomic<int64_t> m_lastDisconnectTime{0};
  std::atomic<int64_t> m_timerArms{0};
  // Whether a tick is pending: jobs added while the radio already scans
  // (another scanner, a reopened radio) need one too. The mutex keeps the
  // flag and the timer in step across the worker and caller threads.
  std::mutex m_armMutex;
  std::atomic<bool> m_timerArmed{false};
};

namespace details {

// Reaches the implementation behind an exported Scanner (tests, tools).
class ScannerAccess {
 public:
  static Scanner::Impl& ImplOf(Scanner& scanner) { return *scanner.m_impl; }
};

}  // namespace details

}  // namespace lumen
