#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bluegiga/BGCalls.h"
#include "core/BluetoothSDK.h"
#include "core/Event.h"
#include "lumen/Lumen.h"
#include "sim/VirtualBled112.h"
#include "support/LogCapture.h"

namespace lumen::testing {

// Two phones in range of a BLED112: one advertising its service UUID, one
// advertising none; both serve the same GATT database.
inline std::string PhonesScenario(
    const std::string& variant = "dongle",
    const std::string& firmware = R"({"major": 1, "minor": 8, "patch": 0, "build": 149})") {
  return R"({
  "radio": {"variant": ")" +
         variant + R"(", "firmware": )" + firmware + R"(, "connection_slots": 3},
  "peripherals": [
    {
      "name": "phone",
      "address": "5a:10:20:30:40:50", "address_type": "random",
      "adv_interval_ms": 100,
      "adv_data": {"flags": 6, "uuids128": ["a3c87500-8ed3-4bdf-8a39-a01bebede295"]},
      "rssi": -55,
      "gatt": [
        {"uuid": "1800", "characteristics": [
          {"uuid": "2a00", "properties": ["read"], "value_text": "Phone A"}
        ]},
        {"uuid": "a3c87500-8ed3-4bdf-8a39-a01bebede295", "characteristics": [
          {"uuid": "a3c87501-8ed3-4bdf-8a39-a01bebede295", "properties": ["write", "write_without_response"]},
          {"uuid": "a3c87502-8ed3-4bdf-8a39-a01bebede295", "properties": ["notify"]},
          {"uuid": "a3c87503-8ed3-4bdf-8a39-a01bebede295", "properties": ["read"], "value": "01"},
          {"uuid": "a3c87504-8ed3-4bdf-8a39-a01bebede295", "properties": ["read"],
           "value": "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f2021222324252627"}
        ]}
      ],
      "behaviours": [
        {"on": "write", "characteristic": "a3c87501-8ed3-4bdf-8a39-a01bebede295",
         "notify": "a3c87502-8ed3-4bdf-8a39-a01bebede295",
         "values": ["0101", "0102", "0103"], "count": 3, "interval_ms": 0}
      ]
    },
    {
      "name": "background-phone",
      "address": "4b:60:70:80:90:a0", "address_type": "random",
      "adv_interval_ms": 200,
      "adv_data": {"flags": 26, "manufacturer_data": "4c0010050b1c1a2b3c"},
      "rssi": -62,
      "gatt": [
        {"uuid": "a3c87500-8ed3-4bdf-8a39-a01bebede295", "characteristics": [
          {"uuid": "a3c87503-8ed3-4bdf-8a39-a01bebede295", "properties": ["read"], "value": "02"}
        ]}
      ]
    }
  ]
})";
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

  LogCapture m_log;
  std::unique_ptr<sim::VirtualBled112> m_radio;
};

}  // namespace lumen::testing
