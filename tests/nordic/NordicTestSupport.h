#pragma once

// The library opened on the virtual nRF52 board, with manual time, for tests
// of the Nordic backend through its real seams.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/BluetoothSDK.h"
#include "core/CallbacksManager.h"
#include "core/ConnectionTable.h"
#include "lumen/Lumen.h"
#include "nordic/NordicBluetoothSDK.h"
#include "sd_rpc.h"
#include "sim/nrf52/VirtualNrf52.h"
#include "support/LogCapture.h"
#include "support/PhoneScenario.h"
#include "support/TempPath.h"

namespace lumen::testing {

using namespace std::chrono_literals;

// Peripherals whose random addresses cover the sub-types, one public, and a
// GATT table with a long value, a 128-bit characteristic and an indication.
inline std::string NordicScenario() {
  return R"({
  "peripherals": [
    {
      "name": "phone",
      "address": "c4:10:20:30:40:50", "address_type": "random",
      "adv_interval_ms": 100,
      "adv_data": {"flags": 6, "uuids128": ["a3c87500-8ed3-4bdf-8a39-a01bebede295"]},
      "rssi": -55,
      "gatt": [
        {"uuid": "1800", "characteristics": [
          {"uuid": "2a00", "properties": ["read"], "value_text": "Phone A"}
        ]},
        {"uuid": "a3c87500-8ed3-4bdf-8a39-a01bebede295", "characteristics": [
          {"uuid": "a3c87503-8ed3-4bdf-8a39-a01bebede295", "properties": ["read"], "value": "01"},
          {"uuid": "a3c87504-8ed3-4bdf-8a39-a01bebede295", "properties": ["read"],
           "value": "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f2021222324252627"},
          {"uuid": "2a05", "properties": ["indicate"], "value": "01000000"}
        ]}
      ]
    },
    {"name": "resolvable", "address": "44:11:22:33:44:55", "address_type": "random",
     "adv_interval_ms": 100, "first_advert_ms": 5000, "adv_data": {"flags": 6}, "rssi": -60},
    {"name": "non-resolvable", "address": "04:11:22:33:44:56", "address_type": "random",
     "adv_interval_ms": 100, "first_advert_ms": 5000, "adv_data": {"flags": 6}, "rssi": -60},
    {"name": "public", "address": "00:07:80:11:22:33", "address_type": "public",
     "adv_interval_ms": 100, "first_advert_ms": 5000, "adv_data": {"flags": 6}, "rssi": -60}
  ]
})";
}

// The value handle of the scenario phone's device name ("phone": service 1800,
// declaration 2, value 3).
inline constexpr uint16_t kDeviceNameValue = 3;

// "c4:10:20:30:40:50" as an Address (least significant byte first).
inline Address AddressOf(const std::string& text, Address::Type type) {
  std::array<uint8_t, 6> bytes{};
  for (size_t i = 0; i < 6; ++i) {
    bytes[5 - i] = static_cast<uint8_t>(std::stoul(text.substr(i * 3, 2), nullptr, 16));
  }
  return Address(bytes, type);
}

// A scenario written to a file: the board's port names it.
class ScenarioOnDisk {
 public:
  explicit ScenarioOnDisk(const std::string& json) : m_path(UniqueTempPath("lumen-nordic", ".json").string()) {
    std::ofstream(m_path) << json;
  }
  ~ScenarioOnDisk() { std::remove(m_path.c_str()); }
  ScenarioOnDisk(const ScenarioOnDisk&) = delete;
  ScenarioOnDisk& operator=(const ScenarioOnDisk&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// A bus subscription for the length of a test.
class BusSubscription {
 public:
  template <class Payload>
  static std::unique_ptr<BusSubscription> Make(const char* name, std::function<void(Payload)> handler) {
    auto subscription = std::make_unique<BusSubscription>();
    details::Subscribe<Payload>(name, std::move(handler), &subscription->m_id);
    return subscription;
  }
  ~BusSubscription() {
    if (m_id != 0) {
      details::Unsubscribe(m_id);
    }
  }

 private:
  int m_id = 0;
};

class NordicSimTest : public ::testing::Test {
 protected:
  void OpenBoard(const std::string& json = NordicScenario()) {
    sim::SetNrf52BoardOptions({sim::SimClock::Mode::kManual});
    m_scenario = std::make_unique<ScenarioOnDisk>(json);
    ASSERT_TRUE(Initialize(m_scenario->Path(), 0, NordicNRF52, false));
    m_board = sim::OpenNrf52Board();
    ASSERT_NE(m_board, nullptr);
  }

  void TearDown() override {
    UnInitialize();
    // Links still open at close stay in the process-wide table; the next
    // board hands out the same native handles.
    details::ClearAllConnections();
    m_board.reset();
    m_scenario.reset();
  }

  details::IBluetoothSDK& Sdk() { return *details::GetBluetoothSDK(); }
  Nordic::NordicBluetoothSDK& NordicSdk() {
    return dynamic_cast<Nordic::NordicBluetoothSDK&>(*details::GetBluetoothSDK());
  }
  sim::VirtualNrf52& Board() { return *m_board; }

  bool Delivered() { return m_board->WaitUntilDelivered(10s); }
  void Advance(uint64_t ms) {
    m_board->Clock().AdvanceMs(ms);
    ASSERT_TRUE(Delivered());
  }

  size_t CountCalls(const std::string& name) const {
    size_t count = 0;
    for (const std::string& call : m_board->Calls()) {
      count += call == name ? 1 : 0;
    }
    return count;
  }

  // Connects to the scenario's phone (random static).
  details::DeviceConnectionHandle ConnectPhone() {
    details::DeviceConnectionHandle h;
    Sdk().ConnectDirect(h, {}, AddressOf("c4:10:20:30:40:50", Address::Random), 6, 6, 400, 0);
    return h;
  }

  // The phone's requests on connecting are answered through chains of events
  // (a reply that meets another procedure goes again when it ends): true once
  // the board holds none unanswered.
  bool PeerRequestsAnswered() {
    for (int round = 0; round < 100; ++round) {
      if (!Delivered()) return false;
      const auto connections = m_board->Snapshot().connections;
      if (std::all_of(connections.begin(), connections.end(), [](const auto& c) { return c.unanswered.empty(); })) {
        return true;
      }
    }
    return false;
  }

  // Hands the event to the backend as if the board sent it.
  void Inject(const ble_evt_t& event, bool otherAdapter = false) {
    m_board->InjectEvent(reinterpret_cast<const uint8_t*>(&event), sizeof event, otherAdapter);
    ASSERT_TRUE(Delivered());
  }

  LogCapture m_log;
  std::unique_ptr<ScenarioOnDisk> m_scenario;
  std::shared_ptr<sim::VirtualNrf52> m_board;
};

// The board open, with a link to the scenario's phone.
class NordicPhoneTest : public NordicSimTest {
 protected:
  void SetUp() override {
    OpenBoard();
    m_h = ConnectPhone();
    m_native = static_cast<uint16_t>(details::GetNativeHandle(m_h));
  }

  details::DeviceConnectionHandle m_h;
  uint16_t m_native = 0;
};

}  // namespace lumen::testing
