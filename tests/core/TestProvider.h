#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/BluetoothSDK.h"
#include "core/IBluetoothSDK.h"
#include "lumen/Errors.h"
#include "support/NullProvider.h"

namespace lumen::testing {

// A provider for the entry-point logic only: it records how it was opened and
// answers as the test scripts it. Radio behaviour is tested against the
// virtual radios, not here.
class TestProvider : public NullProvider {
 public:
  enum class OpenResult { kSucceed, kFail, kThrow };

  struct OpenCall {
    BluetoothDeviceType type;
    std::string port;
    uint32_t waitMsec;
    bool checkFunctional;
  };

  // Scripted behaviour and observations, shared by every instance.
  struct Script {
    std::mutex mutex;
    OpenResult openResult = OpenResult::kSucceed;
    bool throwFromFactory = false;
    std::vector<OpenCall> opens;
    std::vector<bool> openingWhileOpen;  // what IsBluetoothSDKOpening said inside each OpenDevice
    std::atomic<int> alive{0};
    std::atomic<int> created{0};
  };

  static Script& script() {
    static Script instance;
    return instance;
  }

  static void ResetScript() {
    Script& s = script();
    std::lock_guard lock(s.mutex);
    s.openResult = OpenResult::kSucceed;
    s.throwFromFactory = false;
    s.opens.clear();
    s.openingWhileOpen.clear();
    s.created = 0;
  }

  static std::vector<OpenCall> Opens() {
    Script& s = script();
    std::lock_guard lock(s.mutex);
    return s.opens;
  }

  static std::unique_ptr<details::IBluetoothSDK> Create() {
    Script& s = script();
    {
      std::lock_guard lock(s.mutex);
      if (s.throwFromFactory) {
        throw std::runtime_error("provider could not be built");
      }
    }
    return std::make_unique<TestProvider>();
  }

  TestProvider() {
    ++script().alive;
    ++script().created;
  }
  ~TestProvider() override { --script().alive; }

  bool OpenDevice(BluetoothDeviceType type, const std::string& port, uint32_t waitMsec, bool checkFunctional) override {
    Script& s = script();
    OpenResult result;
    {
      std::lock_guard lock(s.mutex);
      s.opens.push_back({type, port, waitMsec, checkFunctional});
      s.openingWhileOpen.push_back(details::IsBluetoothSDKOpening());
      result = s.openResult;
    }
    if (result == OpenResult::kThrow) {
      throw details::KesBluetoothSDKLibError("no radio answers on " + port, details::kErrorGeneral);
    }
    m_open = result == OpenResult::kSucceed;
    return m_open;
  }
  bool IsDeviceOpen() override { return m_open; }
  void CloseDevice() override { m_open = false; }
  std::string GetFirmwareVersion() override { return "test"; }

 private:
  std::atomic<bool> m_open{false};
};

}  // namespace lumen::testing
