#include "core/BluetoothSDK.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <string>

#include "core/CallApplication.h"
#include "core/CallbacksManager.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "core/ProcessWideHolder.h"
#include "lumen/Errors.h"
#include "lumen/Lumen.h"

namespace lumen::details {
namespace {

using ProviderHolder = ProcessWideHolder<IBluetoothSDK>;

ProviderHolder& Holder() { return ProviderHolder::Get(); }

std::atomic<void (*)()> g_hardwareFailureCallback{nullptr};
std::atomic<void (*)(bool)> g_softResetCallback{nullptr};

}  // namespace

std::shared_ptr<IBluetoothSDK> GetBluetoothSDK() {
  ThrowIfInsideBusHandler("use the radio");
  ProviderHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  if (!holder.held) {
    throw KesBluetoothSDKLibError("BluetoothSDK not initialized", kErrorGeneral);
  }
  return holder.held;
}

namespace {
std::atomic<int> g_opening{0};
}  // namespace

bool IsBluetoothSDKOpening() { return g_opening.load() != 0; }
BluetoothSDKOpening::BluetoothSDKOpening() { ++g_opening; }
BluetoothSDKOpening::~BluetoothSDKOpening() { --g_opening; }

bool IsBluetoothSDKInitialized() {
  ProviderHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  return static_cast<bool>(holder.held);
}

void SetBluetoothSDK(IBluetoothSDK* sdk) {
  std::unique_ptr<IBluetoothSDK> owned(sdk);
  ProviderHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  if (holder.held) {
    throw KesBluetoothSDKLibError("BluetoothSDK initialized twice", kErrorGeneral);
  }
  holder.held = std::move(owned);
}

void ReleaseBluetoothSDK() {
  Log(kInfo, "Releasing IBluetoothSDK object");
  std::shared_ptr<IBluetoothSDK> released;
  {
    ProviderHolder& holder = Holder();
    std::lock_guard lock(holder.mutex);
    released.swap(holder.held);
  }
  // The provider's destructor (which joins backend threads) runs outside the lock.
}

std::shared_ptr<IBluetoothSDK> PeekBluetoothSDK() {
  ProviderHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  return holder.held;
}

const IBluetoothSDK* HeldBluetoothSDK() {
  ProviderHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  return holder.held.get();
}

std::shared_ptr<IBluetoothSDK> ReplaceBluetoothSDK(const IBluetoothSDK* expected,
                                                   std::shared_ptr<IBluetoothSDK> replacement) {
  ProviderHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  if (expected == nullptr || holder.held.get() != expected) {
    return nullptr;
  }
  holder.held.swap(replacement);
  return replacement;
}

// The callbacks run inside a radio command or the reset sequence, which must
// carry on (and report their own error) whatever the application throws.
void NotifyHardwareFailure() {
  Count(Health().hardwareFailures);
  if (auto* callback = g_hardwareFailureCallback.load()) {
    CallApplication(kError, "hardware failure callback", callback);
  }
}

void NotifyHardwareSoftResetInitiated(bool resetRemovesDevice) {
  if (auto* callback = g_softResetCallback.load()) {
    CallApplication(kError, "hardware soft reset callback", [&] { callback(resetRemovesDevice); });
  }
}

}  // namespace lumen::details

namespace lumen {

void Set_HardwareFailureCallback(void (*callback)()) { details::g_hardwareFailureCallback.store(callback); }

void Set_HardwareSoftResetInitiatedCallback(void (*callback)(bool)) { details::g_softResetCallback.store(callback); }

}  // namespace lumen
