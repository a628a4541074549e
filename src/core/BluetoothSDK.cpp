#include "core/BluetoothSDK.h"

#include <atomic>
#include <mutex>

#include "core/Log.h"
#include "lumen/Errors.h"
#include "lumen/Lumen.h"

namespace lumen::details {
namespace {

// Library threads (scanner worker, beacon thread) take copies while the
// application may be releasing it, so the holder is guarded.
std::mutex g_sdkMutex;
std::shared_ptr<IBluetoothSDK> g_sdk;

std::atomic<void (*)()> g_hardwareFailureCallback{nullptr};
std::atomic<void (*)(bool)> g_softResetCallback{nullptr};

}  // namespace

std::shared_ptr<IBluetoothSDK> GetBluetoothSDK() {
  std::lock_guard lock(g_sdkMutex);
  if (!g_sdk) {
    throw KesBluetoothSDKLibError("BluetoothSDK not initialized", kErrorGeneral);
  }
  return g_sdk;
}

bool IsBluetoothSDKInitialized() {
  std::lock_guard lock(g_sdkMutex);
  return static_cast<bool>(g_sdk);
}

void SetBluetoothSDK(IBluetoothSDK* sdk) {
  std::unique_ptr<IBluetoothSDK> owned(sdk);
  std::lock_guard lock(g_sdkMutex);
  if (g_sdk) {
    throw KesBluetoothSDKLibError("BluetoothSDK initialized twice", kErrorGeneral);
  }
  g_sdk = std::move(owned);
}

void ReleaseBluetoothSDK() {
  Log(kInfo, "Releasing IBluetoothSDK object");
  std::shared_ptr<IBluetoothSDK> released;
  {
    std::lock_guard lock(g_sdkMutex);
    released.swap(g_sdk);
  }
  // The provider's destructor (which joins backend threads) runs outside the lock.
}

void NotifyHardwareFailure() {
  if (auto* callback = g_hardwareFailureCallback.load()) {
    callback();
  }
}

void NotifyHardwareSoftResetInitiated(bool resetRemovesDevice) {
  if (auto* callback = g_softResetCallback.load()) {
    callback(resetRemovesDevice);
  }
}

}  // namespace lumen::details

namespace lumen {

void Set_HardwareFailureCallback(void (*callback)()) { details::g_hardwareFailureCallback.store(callback); }

void Set_HardwareSoftResetInitiatedCallback(void (*callback)(bool)) { details::g_softResetCallback.store(callback); }

}  // namespace lumen
