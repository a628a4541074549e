#include "core/RadioRecovery.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "core/AwayRadio.h"
#include "core/BluetoothSDK.h"
#include "core/CallApplication.h"
#include "core/CallbacksManager.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "core/ProviderRegistry.h"
#include "core/RadioSettings.h"
#include "lumen/Lumen.h"
#include "platform/PortProbe.h"

namespace lumen::details {
namespace {

using Clock = std::chrono::steady_clock;

// A port that comes back is noticed within a second; one that stays away
// costs a probe (an open and a close) a second.
constexpr std::chrono::milliseconds kFirstProbeDelay{100};
constexpr std::chrono::milliseconds kLongestProbeDelay{1000};

std::atomic<bool> g_enabled{false};
std::atomic<void (*)(bool, uint64_t)> g_radioBackCallback{nullptr};
std::atomic<bool> g_away{false};

struct Removal {
  const IBluetoothSDK* radio = nullptr;
  Clock::time_point at;
  std::chrono::milliseconds settle{0};
};

class Supervisor {
 public:
  void Remember(const std::string& port, BluetoothDeviceType type) {
    EndEpisodes();
    std::lock_guard lock(m_mutex);
    m_port = port;
    m_type = type;
    m_known = true;
  }

  void Forget() {
    EndEpisodes();
    std::lock_guard lock(m_mutex);
    m_known = false;
  }

  void Removed(const IBluetoothSDK* removed, std::chrono::milliseconds settle) {
    if (!g_enabled.load() && g_radioBackCallback.load() == nullptr) {
      return;  // nobody to reopen the radio for, nobody to tell
    }
    const IBluetoothSDK* held = HeldBluetoothSDK();
    std::unique_lock lock(m_mutex);
    if (!m_known || held == nullptr || (removed != nullptr && removed != held) || m_pending ||
        (m_episodeRadio == held) || g_away.load()) {
      return;
    }
    m_pending = true;
    m_removal = Removal{held, Clock::now(), settle};
    if (m_running) {
      return;
    }
    std::thread finished = std::move(m_thread);
    m_running = true;
    m_thread = std::thread([this] { Run(); });
    lock.unlock();
    if (finished.joinable()) {
      finished.join();  // it has left its loop; only its return is left
    }
  }

  void Stop() { EndEpisodes(); }

 private:
  // Ends what runs and waits for it, except on the recovery thread itself
  // (an application reopening the radio from the radio-back callback).
  void EndEpisodes() {
    std::thread running;
    {
      std::lock_guard lock(m_mutex);
      ++m_generation;
      m_pending = false;
      if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        running = std::move(m_thread);
      }
    }
    m_wake.notify_all();
    if (running.joinable()) {
      running.join();
    }
  }

  void Run() {
    for (;;) {
      Removal removal;
      uint64_t generation = 0;
      std::string port;
      BluetoothDeviceType type = Unknown;
      {
        std::lock_guard lock(m_mutex);
        if (!m_pending) {
          m_running = false;
          m_episodeRadio = nullptr;
          return;
        }
        m_pending = false;
        removal = m_removal;
        generation = m_generation;
        port = m_port;
        type = m_type;
        m_episodeRadio = removal.radio;
      }
      try {
        RunEpisode(removal, generation, port, type);
      } catch (const std::exception& e) {
        Log(kError, std::string("Radio recovery failed: ") + e.what());
      } catch (...) {
        Log(kError, "Radio recovery failed with a non-standard exception");
      }
      g_away.store(false);
      if (const IBluetoothSDK* again = std::exchange(m_pendingAgain, nullptr); again != nullptr) {
        std::lock_guard lock(m_mutex);
        if (m_generation == generation && !m_pending) {
          m_pending = true;
          m_removal = Removal{again, Clock::now(), std::chrono::milliseconds(0)};
        }
      }
    }
  }

  // False once the episode is to end (UnInitialize, Initialize, exit).
  bool Pause(uint64_t generation, std::chrono::milliseconds delay) {
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, delay, [&] { return m_generation != generation; });
    return m_generation == generation;
  }

  void RunEpisode(const Removal& removal, uint64_t generation, const std::string& port, BluetoothDeviceType type) {
    const bool recover = g_enabled.load();
    std::weak_ptr<IBluetoothSDK> removedRadio;
    const IBluetoothSDK* away = nullptr;
    if (recover) {
      away = TakeOutOfService(removal.radio, removedRadio, port);
      if (away == nullptr) {
        return;
      }
    }
    auto delay = std::max(kFirstProbeDelay, removal.settle);
    while (Pause(generation, delay)) {
      delay = std::min(std::max(kFirstProbeDelay, delay * 2), kLongestProbeDelay);
      if (recover) {
        // The old radio's threads and port must be gone before its
        // successor opens the port; a call still running holds it.
        if (!removedRadio.expired()) {
          continue;
        }
      } else if (!RemovedRadioIsClosed(removal.radio)) {
        continue;
      }
      if (!PortOpens(port)) {
        continue;
      }
      const auto awayMs = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - removal.at).count());
      if (!recover) {
        Log(kInfo, "Radio port", port, "is back after", awayMs, "ms; the application may open it again");
        CallRadioBack(false, awayMs);
        return;
      }
      if (Reopen(away, generation, port, type, awayMs)) {
        return;
      }
    }
  }

  // Puts a stand-in that fails every call in place of the radio that went away.
  const IBluetoothSDK* TakeOutOfService(const IBluetoothSDK* removed, std::weak_ptr<IBluetoothSDK>& removedRadio,
                                        const std::string& port) {
    std::shared_ptr<IBluetoothSDK> held = PeekBluetoothSDK();
    if (!held || held.get() != removed) {
      return nullptr;
    }
    bool continuous = false;
    bool removes = true;
    try {
      continuous = held->SupportsContinuousScanning();
      removes = held->ResetRemovesDevice();
    } catch (...) {
      // A radio half gone may not say; the defaults are the safe side.
    }
    auto standIn = std::make_shared<AwayRadio>(continuous, removes);
    const IBluetoothSDK* away = standIn.get();
    if (!ReplaceBluetoothSDK(removed, std::move(standIn))) {
      return nullptr;
    }
    g_away.store(true);
    Log(kWarning, "Radio on", port, "is away; lumen reopens it once its port returns");
    try {
      held->CloseDevice();
    } catch (const std::exception& e) {
      Log(kInfo, std::string("Closing the radio that went away: ") + e.what());
    } catch (...) {
      Log(kInfo, "Closing the radio that went away failed with a non-standard exception");
    }
    removedRadio = held;
    return away;  // `held` goes here, unless a call still running holds it
  }

  static bool RemovedRadioIsClosed(const IBluetoothSDK* removed) {
    std::shared_ptr<IBluetoothSDK> held = PeekBluetoothSDK();
    if (!held || held.get() != removed) {
      return true;  // the application has released it already
    }
    try {
      return !held->IsDeviceOpen();
    } catch (...) {
      return true;
    }
  }

  bool Reopen(const IBluetoothSDK* away, uint64_t generation, const std::string& port, BluetoothDeviceType type,
              uint64_t awayMs) {
    const ProviderFactory factory = GetProviderFactory(type);
    if (factory == nullptr) {
      Log(kError, "Radio recovery has no backend for this radio type");
      return true;
    }
    std::shared_ptr<IBluetoothSDK> fresh;
    {
      const BluetoothSDKOpening opening;
      try {
        fresh = std::shared_ptr<IBluetoothSDK>(factory().release());
        if (!fresh->OpenDevice(type, port, 0, false)) {
          Log(kInfo, "Reopening the radio on", port, "failed; trying again");
          return false;
        }
      } catch (const std::exception& e) {
        Log(kInfo, std::string("Reopening the radio on ") + port + " failed, trying again: " + e.what());
        return false;
      }
      ReapplyRadioSettings(*fresh);
    }
    {
      std::lock_guard lock(m_mutex);
      if (m_generation != generation) {
        return true;
      }
    }
    if (!ReplaceBluetoothSDK(away, fresh)) {
      return true;  // released by the application meanwhile: `fresh` closes with this scope
    }
    g_away.store(false);
    if (!fresh->IsDeviceOpen()) {
      // Lost again while it was being put back; that loss found the
      // stand-in in place and was not taken up, so it is here.
      Log(kWarning, "Radio on", port, "went away again while it was reopened");
      m_pendingAgain = fresh.get();
      return true;
    }
    Log(kInfo, "Radio on", port, "is back after", awayMs, "ms away");
    try {
      Publish<void*>("request_start_scan", nullptr);
    } catch (const std::exception& e) {
      Log(kWarning, std::string("Resuming scanning after the radio came back failed: ") + e.what());
    } catch (...) {
      Log(kWarning, "Resuming scanning after the radio came back failed with a non-standard exception");
    }
    CallRadioBack(true, awayMs);
    return true;
  }

  static void CallRadioBack(bool reopened, uint64_t awayMs) {
    Count(Health().timeAwayMs, awayMs);
    auto* callback = g_radioBackCallback.load();
    if (callback == nullptr) {
      return;
    }
    CallApplication(kError, "radio back callback", [&] { callback(reopened, awayMs); });
  }

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::thread m_thread;
  bool m_running = false;
  bool m_pending = false;
  Removal m_removal;
  const IBluetoothSDK* m_episodeRadio = nullptr;
  const IBluetoothSDK* m_pendingAgain = nullptr;  // recovery thread only
  uint64_t m_generation = 0;
  std::string m_port;
  BluetoothDeviceType m_type = Unknown;
  bool m_known = false;
};

// Never destroyed: its thread may still be joinable when statics go.
Supervisor& TheSupervisor() {
  static Supervisor* const supervisor = new Supervisor();
  return *supervisor;
}

}  // namespace

void RememberRadio(const std::string& port, BluetoothDeviceType type) { TheSupervisor().Remember(port, type); }
void ForgetRadio() { TheSupervisor().Forget(); }
void NotifyRadioRemoved(const IBluetoothSDK* removed, std::chrono::milliseconds settle) {
  TheSupervisor().Removed(removed, settle);
}
bool IsRadioRecoveryEnabled() { return g_enabled.load(); }
bool IsRadioAway() { return g_away.load(); }
void StopRadioRecovery() { TheSupervisor().Stop(); }

}  // namespace lumen::details

namespace lumen {

void SetRadioRecovery(bool enabled) { details::g_enabled.store(enabled); }

void Set_RadioBackCallback(void (*callback)(bool, uint64_t)) { details::g_radioBackCallback.store(callback); }

}  // namespace lumen
