// Library calls made from inside a library callback that holds the event
// bus: each must fail at once with a clear error instead of deadlocking the
// process, and the library must go on working afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumen/BluetoothDevice.h"
#include "lumen/Errors.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "sim/VirtualBled112.h"
#include "support/Guard.h"
#include "support/LogCapture.h"
#include "support/PhoneScenario.h"

namespace lumen {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

using testing::kGuard;
constexpr const char* kRefusal = "made from a library callback";

using testing::kNotifying;
using testing::kPhoneService;
using testing::kShortValue;
using testing::kWritable;

// One phone; a write makes it notify once.
const std::string kScenario =
    testing::Bled112Scenario(testing::PhonePeripheral({.longValue = false, .notifyValues = {"01"}}));

std::mutex g_mutex;
std::condition_variable g_changed;
std::shared_ptr<BluetoothDevice> g_phone;

bool KeepPhone(std::shared_ptr<BluetoothDevice>& device) {
  std::lock_guard lock(g_mutex);
  g_phone = device;
  g_changed.notify_all();
  return true;
}

// What a call attempted inside a callback did.
std::string Outcome(const std::function<void()>& call) {
  try {
    call();
    return "returned";
  } catch (const details::KesBluetoothSDKLibError& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("other exception: ") + e.what();
  }
}

class CallbackReentryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_radio = std::make_unique<sim::VirtualBled112>(sim::Scenario::FromJson(kScenario));
    ASSERT_TRUE(Initialize(m_radio->Path(), 0, BLED112Dongle, false));
    m_scanner = GetScanner();  // its cache owns the device's record
    m_scanner->SetAdvCallback(&KeepPhone);
    m_scanner->StartLeScan();
    std::unique_lock lock(g_mutex);
    for (int step = 0; step < 100 && !g_phone; ++step) {
      lock.unlock();
      m_radio->Clock().AdvanceMs(100);
      lock.lock();
      g_changed.wait_for(lock, 100ms, [] { return g_phone != nullptr; });
    }
    ASSERT_TRUE(g_phone);
    m_phone = std::exchange(g_phone, nullptr);
    lock.unlock();
    m_scanner->StopLeScan();
    m_phone->Connect();
    m_service = m_phone->GetService(kPhoneService);
    ASSERT_TRUE(m_service);
    m_read = m_service->GetCharacteristic(kShortValue);
    m_write = m_service->GetCharacteristic(kWritable);
    m_notify = m_service->GetCharacteristic(kNotifying);
  }

  void TearDown() override {
    m_notify.reset();
    m_write.reset();
    m_read.reset();
    m_service.reset();
    m_phone.reset();
    m_scanner.reset();
    UnInitialize();
    m_radio.reset();
  }

  // Runs `inside` from the notify characteristic's change callback once and
  // waits for it.
  void FromChangeCallback(const std::function<void()>& inside) {
    std::mutex mutex;
    std::condition_variable done;
    bool ran = false;
    m_notify->SetCharacteristicChangedCallback([&](const Bytes& /*value*/) {
      if (inside) {
        inside();
      }
      std::lock_guard lock(mutex);
      ran = true;
      done.notify_all();
    });
    m_notify->EnableCharacteristicNotification(true);
    m_write->WriteValue({0x01}, true, false);
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, kGuard, [&] { return ran; })) << "the change callback did not come back";
    lock.unlock();
    m_notify->SetCharacteristicChangedCallback(nullptr);
  }

  testing::LogCapture m_log;
  std::unique_ptr<sim::VirtualBled112> m_radio;
  std::unique_ptr<Scanner> m_scanner;
  std::shared_ptr<BluetoothDevice> m_phone;
  std::unique_ptr<GattService> m_service;
  std::unique_ptr<GattCharacteristic> m_read;
  std::unique_ptr<GattCharacteristic> m_write;
  std::unique_ptr<GattCharacteristic> m_notify;
};

TEST_F(CallbackReentryTest, RadioCallsFromAChangeCallbackFailAtOnceAndTheLibraryGoesOn) {
  std::vector<std::string> outcomes;
  std::vector<TimestampedRSSI> rssi;
  FromChangeCallback([&] {
    outcomes.push_back(Outcome([&] { m_read->ReadValue(true); }));
    outcomes.push_back(Outcome([&] { m_write->WriteValue({0x02}, true, false); }));
    outcomes.push_back(Outcome([&] { m_phone->GetRSSIFromConnection(rssi); }));
    outcomes.push_back(Outcome([&] { m_phone->Disconnect(); }));
    outcomes.push_back(Outcome([&] { m_service->GetCharacteristic(kShortValue); }));
    outcomes.push_back(Outcome([&] { GetScanner(); }));
  });
  ASSERT_EQ(outcomes.size(), 6U);
  for (size_t i = 0; i < outcomes.size(); ++i) {
    EXPECT_NE(outcomes[i].find(kRefusal), std::string::npos) << "call " << i << ": " << outcomes[i];
  }
  EXPECT_TRUE(m_log.HasContaining(Logger::ERROR, kRefusal));

  // Nothing is left stuck: the link is up and the radio answers.
  EXPECT_TRUE(m_phone->IsConnected());
  EXPECT_EQ(m_read->ReadValue(true), Bytes{0x2a});
  FromChangeCallback(nullptr);
}

TEST_F(CallbackReentryTest, CharacteristicDestroyedInsideAChangeCallbackUnsubscribesCleanly) {
  auto extra = m_service->GetCharacteristic(kShortValue);
  std::string outcome;
  FromChangeCallback([&] { outcome = Outcome([&] { extra.reset(); }); });
  EXPECT_EQ(outcome, "returned");
  // Its subscription is really gone, and the bus still serves the others.
  FromChangeCallback(nullptr);
  EXPECT_EQ(m_read->ReadValue(true), Bytes{0x2a});
}

TEST_F(CallbackReentryTest, RadioCallFromALogCallbackUnderTheBusFailsAtOnce) {
  static std::string outcome;
  static GattCharacteristic* read = nullptr;
  outcome.clear();
  read = m_read.get();
  // A value event is logged from inside the bus handler that receives it.
  Logger::SetLogCallback([](Logger::LogType /*type*/, const std::string& text) {
    if (read != nullptr && outcome.empty() && text.rfind("common_evt_data_notification Connection Handle", 0) == 0) {
      GattCharacteristic* target = std::exchange(read, nullptr);
      outcome = Outcome([target] { target->ReadValue(true); });
    }
  });
  EXPECT_EQ(m_read->ReadValue(true), Bytes{0x2a});
  Logger::SetLogCallback(nullptr);
  EXPECT_NE(outcome.find(kRefusal), std::string::npos) << outcome;
}

}  // namespace
}  // namespace lumen
