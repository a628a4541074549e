#pragma once

// A virtual radio with a host line open on it, for tests that speak raw BGAPI.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "SimHostLine.h"
#include "sim/VirtualBled112.h"

namespace lumen::sim::testing {

// hrm: connectable, public address, 100 ms; handles 1-5 GAP, 6-13 heart rate
// (0x2A37 value 8, its configuration 9; 0x2A38 value 11; 0x2A39 value 13),
// 14-17 battery, 18-22 device information (0x2A24 value 22, 50 bytes).
// beacon: non-connectable, no flags, 250 ms. late: in range from 1000 ms, 500 ms.
inline std::string TestScenario(const std::string& variant = "dongle", const std::string& radioExtra = "") {
  return R"({
  "radio": {"variant": ")" +
         variant + R"(", "connection_slots": 3)" + radioExtra + R"(,
            "firmware": {"major": 1, "minor": 3, "patch": 2, "build": 122, "ll_version": 5, "protocol_version": 1, "hw": 2}},
  "peripherals": [
    {"name": "hrm", "address": "00:1a:7d:da:71:13", "adv_interval_ms": 100,
     "adv_data": {"flags": 6, "uuids16": ["180d", "180f"], "name": "HRM"},
     "scan_response": {"short_name": "H"},
     "rssi": -48,
     "gatt": [
       {"uuid": "1800", "characteristics": [
         {"uuid": "2a00", "properties": ["read"], "value_text": "HRM"},
         {"uuid": "2a01", "properties": ["read"], "value": "4103"}]},
       {"uuid": "180d", "characteristics": [
         {"uuid": "2a37", "properties": ["notify"], "value": "0048"},
         {"uuid": "2a38", "properties": ["read"], "value": "01"},
         {"uuid": "2a39", "properties": ["write"]}]},
       {"uuid": "180f", "characteristics": [
         {"uuid": "2a19", "properties": ["read", "notify"], "value": "5a"}]},
       {"uuid": "180a", "characteristics": [
         {"uuid": "2a29", "properties": ["read"], "value_text": "Virtual Sensors Ltd"},
         {"uuid": "2a24", "properties": ["read"],
          "value": "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f3031"}]}
     ],
     "behaviours": [
       {"on": "write", "characteristic": "2a39", "when_value": "01", "notify": "2a37",
        "values": ["0048", "0049"], "count": 2, "delay_ms": 1000, "interval_ms": 1000}
     ]},
    {"name": "beacon", "address": "c0:ff:ee:00:00:01", "address_type": "random", "connectable": false,
     "adv_interval_ms": 250, "adv_data": "1aff4c000215e2c56db5dffb48d2b060d0f5a71096e000010002c5", "rssi": -70},
    {"name": "late", "address": "d1:00:00:00:00:01", "address_type": "random", "adv_interval_ms": 500,
     "present_from_ms": 1000, "adv_data": {"flags": 6}, "rssi": -60}
  ]
})";
}

// Frames of the test scenario, as hex.
inline constexpr const char* kHrmAdvert =
    "80 19 06 00 d0 00 13 71 da 7d 1a 00 00 ff 0e 02 01 06 05 03 0d 18 0f 18 04 09 48 52 4d";
inline constexpr const char* kHrmScanResponse = "80 0e 06 00 d0 04 13 71 da 7d 1a 00 00 ff 03 02 08 48";
inline constexpr const char* kConnectHrm = "00 0f 06 03 13 71 da 7d 1a 00 00 06 00 0c 00 64 00 00 00";
inline constexpr const char* kHrmConnected = "80 10 03 00 00 05 13 71 da 7d 1a 00 00 0c 00 64 00 00 00 ff";

class SimRadioTest : public ::testing::Test {
 protected:
  void Start(const std::string& scenario, VirtualBled112Options options = {}) {
    radio = std::make_unique<VirtualBled112>(Scenario::FromJson(scenario), options);
    line = std::make_unique<HostLine>(radio->Path());
    ASSERT_TRUE(line->IsOpen()) << radio->Path();
  }

  // Connection 0 to hrm.
  void ConnectHrm() {
    line->WriteHex(kConnectHrm);
    ASSERT_EQ(line->ReadFrameHex(), "00 03 06 03 00 00 00");
    ASSERT_EQ(line->ReadFrameHex(), kHrmConnected);
  }

  // Steps the sim clock by ms and returns the frames the radio sent meanwhile.
  std::vector<std::string> FramesWithinMs(uint64_t ms, const char* callerFile = __builtin_FILE(),
                                          int callerLine = __builtin_LINE()) {
    radio->Clock().AdvanceMs(ms);
    return line->FramesBeforeHello(callerFile, callerLine);
  }

  std::unique_ptr<VirtualBled112> radio;
  std::unique_ptr<HostLine> line;
};

}  // namespace lumen::sim::testing
