#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bluegiga/BGCalls.h"
#include "core/BluetoothSDK.h"
#include "core/CallbacksManager.h"
#include "core/CommonDataNotificationEvent.h"
#include "core/Event.h"
#include "lumen/Lumen.h"
#include "sim/VirtualBled112.h"
#include "support/LogCapture.h"
#include "support/PhoneScenario.h"

namespace lumen::testing {

// Two phones in range of a BLED112: one advertising its service UUID, one
// advertising none; both serve the same GATT service.
inline std::string PhonesScenario(const std::string& variant = "dongle", const std::string& firmware = kFirmware18) {
  const std::string backgroundGatt = std::string(R"([{"uuid": ")") + kPhoneServiceText +
                                     R"(", "characteristics": [{"uuid": ")" + kShortValueText +
                                     R"(", "properties": ["read"], "value": "02"}]}])";
  return Bled112Scenario(PhonePeripheral({.deviceName = "Phone A", .shortValue = "01"}) + "," +
                             BackgroundPhone("background-phone", -62, backgroundGatt),
                         variant, firmware);
}

// A virtual radio on a real pseudo-terminal, and the library opened on it.
class BluegigaSimTest : public ::testing::Test {
 protected:
  void Open(const std::string& scenario, BluetoothDeviceType type = BLED112Dongle, bool checkFunctional = false) {
    m_radio = std::make_unique<sim::VirtualBled112>(sim::Scenario::FromJson(scenario));
    ASSERT_TRUE(Initialize(m_radio->Path(), 0, type, checkFunctional));
  }

  void TearDown() override {
    UnInitialize();
    m_radio.reset();
    details::BGCalls::SetTimeouts(3000, 3000);
  }

  details::IBluetoothSDK& Sdk() { return *details::GetBluetoothSDK(); }

  // Connects to the phone through the provider.
  details::DeviceConnectionHandle Connect() {
    details::DeviceConnectionHandle h;
    Sdk().ConnectDirect(h, {}, kPhone, 60, 76, 100, 0);
    EXPECT_TRUE(h.IsConnected());
    return h;
  }

  // The value handle of a characteristic of the phone's service.
  uint16_t ValueHandle(details::DeviceConnectionHandle h, const Uuid& characteristic) {
    for (const AttGroupItem& service : Sdk().GetListOfServices(h)) {
      if (service.uuid != kPhoneService) {
        continue;
      }
      for (const AttHandleItem& item : Sdk().GetListOfCharacteristics(h, service.startHandle, service.endHandle)) {
        if (item.uuid == characteristic) {
          return item.attHandle;
        }
      }
    }
    ADD_FAILURE() << "no characteristic " << characteristic.ToString();
    return 0;
  }

  // Subscribes to the phone's notifications through its configuration
  // descriptor, writes to make it send `count` and returns what arrived: fewer
  // when they stopped coming.
  std::vector<std::vector<uint8_t>> NotificationsAfterAWrite(details::DeviceConnectionHandle h, size_t count = 3) {
    const uint16_t notifyHandle = ValueHandle(h, kNotifying);
    const auto configuration = m_radio->Database("phone")->ConfigurationHandleOf(notifyHandle);
    if (!configuration) {
      ADD_FAILURE() << "the notifying characteristic has no configuration descriptor";
      return {};
    }
    Sdk().AttributeWrite(h, *configuration, {0x01, 0x00});
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::vector<uint8_t>> values;
    int id = 0;
    details::Subscribe<const details::CommonDataNotificationEvent_t*>(
        "common_evt_data_notification",
        [&, notifyHandle](const details::CommonDataNotificationEvent_t* notification) {
          if (notification->attHandle == notifyHandle) {
            std::lock_guard lock(mutex);
            values.push_back(notification->data);
            arrived.notify_all();
          }
        },
        &id);
    Sdk().WriteCommand(h, ValueHandle(h, kWritable), {0x07});
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, std::chrono::seconds(10), [&] { return values.size() >= count; });
    auto seen = values;
    lock.unlock();
    details::Unsubscribe(id);
    return seen;
  }

  LogCapture m_log;
  std::unique_ptr<sim::VirtualBled112> m_radio;
};

}  // namespace lumen::testing
