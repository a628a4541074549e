#include <array>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "core/BluetoothSDK.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "core/MessageQueue.h"
#include "core/ProviderRegistry.h"
#include "core/RadioRecovery.h"
#include "core/RadioSettings.h"
#include "lumen/Errors.h"
#include "lumen/Lumen.h"

namespace lumen {
namespace details {
namespace {

std::mutex g_factoryMutex;
std::array<ProviderFactory, 4> g_factories{};

const char* DisplayName(BluetoothDeviceType type) {
  switch (type) {
    case Unknown:
      return "Unknown";
    case BLED112Dongle:
      return "BLED112 dongle";
    case BLE113:
      return "BLE113";
    case NordicNRF52:
      return "Nordic nRF52";
  }
  return "programming error";
}

bool IsKnownType(BluetoothDeviceType type) { return type >= BLED112Dongle && type <= NordicNRF52; }

// An application may return from main with the radio still open. Its radio
// and queue threads are stopped then, before the statics that were there at
// the first Initialize go, rather than left running into the teardown.
void ReleaseAtExit() {
  StopRadioRecovery();
  ReleaseBluetoothSDK();
  SetMessageQueue(nullptr);
}

void ReleaseAtExitOnce() {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(&ReleaseAtExit); });
}

}  // namespace

void SetProviderFactory(BluetoothDeviceType type, ProviderFactory factory) {
  if (!IsKnownType(type)) {
    throw KesBluetoothSDKLibError("KESLUMEN initialized with unknown SDK type", kErrorGeneral);
  }
  std::lock_guard lock(g_factoryMutex);
  g_factories[static_cast<size_t>(type)] = factory;
}

ProviderFactory GetProviderFactory(BluetoothDeviceType type) {
  if (!IsKnownType(type)) {
    return nullptr;
  }
  std::lock_guard lock(g_factoryMutex);
  const ProviderFactory installed = g_factories[static_cast<size_t>(type)];
  return installed != nullptr ? installed : BuiltInProviderFactory(type);
}

}  // namespace details

bool Initialize(const std::string& port, unsigned long waitMsec, BluetoothDeviceType type, bool checkFunctional) {
  using namespace details;
  Log(kInfo, "Initialize KESLUMEN for device", DisplayName(type));
  ReleaseAtExitOnce();
  // A new radio: whatever the last one was set to, or being recovered to, is gone.
  ForgetRadio();
  ForgetRadioSettings();
  ResetHealth();

  SetMessageQueue(std::make_shared<MessageQueue>(true));

  if (!IsKnownType(type)) {
    throw KesBluetoothSDKLibError("KESLUMEN initialized with unknown SDK type", kErrorGeneral);
  }

  bool opened = false;
  try {
    const ProviderFactory factory = GetProviderFactory(type);
    if (factory == nullptr) {
      throw KesBluetoothSDKLibError(std::string("No backend built in for ") + DisplayName(type), kErrorGeneral);
    }
    SetBluetoothSDK(factory().release());
    const BluetoothSDKOpening opening;
    opened = GetBluetoothSDK()->OpenDevice(type, port, static_cast<uint32_t>(waitMsec), checkFunctional);
  } catch (const std::exception& e) {
    const char* prefix = type == NordicNRF52 ? "Nordic initialization failed: " : "Bluegiga initialization failed: ";
    Log(kWarning, std::string(prefix) + e.what());
    opened = false;
  }

  if (opened) {
    RememberRadio(port, type);
    return true;
  }
  ReleaseBluetoothSDK();
  SetMessageQueue(nullptr);
  return false;
}

void UnInitialize() {
  details::ForgetRadio();
  details::ForgetRadioSettings();
  details::ReleaseBluetoothSDK();
  details::SetMessageQueue(nullptr);
}

}  // namespace lumen
