#pragma once

// The phone the tests talk to, written once: its address, its service and
// characteristics, and the scenario text a virtual radio loads. Plain text and
// no pseudo-terminal, so the Windows suites can use it too.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lumen/Address.h"
#include "lumen/Uuid.h"

namespace lumen::testing {

inline const char* const kPhoneAddress = "5a:10:20:30:40:50";
// The same address as the radio reports it (least significant byte first).
inline const Address kPhone({0x50, 0x40, 0x30, 0x20, 0x10, 0x5a}, Address::Random);
inline const char* const kBackgroundPhoneAddress = "4b:60:70:80:90:a0";
inline const char* const kPhoneServiceText = "a3c87500-8ed3-4bdf-8a39-a01bebede295";
inline const char* const kWritableText = "a3c87501-8ed3-4bdf-8a39-a01bebede295";
inline const char* const kNotifyingText = "a3c87502-8ed3-4bdf-8a39-a01bebede295";
inline const char* const kShortValueText = "a3c87503-8ed3-4bdf-8a39-a01bebede295";
inline const char* const kLongValueText = "a3c87504-8ed3-4bdf-8a39-a01bebede295";

inline const Uuid kGapService(uint16_t{0x1800});
inline const Uuid kPhoneService{std::string(kPhoneServiceText)};
inline const Uuid kWritable{std::string(kWritableText)};
inline const Uuid kNotifying{std::string(kNotifyingText)};
inline const Uuid kShortValue{std::string(kShortValueText)};
inline const Uuid kLongValue{std::string(kLongValueText)};

inline const char* const kFirmware18 = R"({"major": 1, "minor": 8, "patch": 0, "build": 149})";

// What differs between the tests' phones. Every phone advertises its service;
// its own GATT table has a writable and a notifying characteristic. Fields in
// this order, so tests can name the ones they change: PhonePeripheral({.longValue = false}).
struct PhoneOptions {
  std::string name = "phone";
  std::string deviceName{};       // a GAP service with this name; none when empty
  std::string shortValue = "2a";  // the short readable's value; none when empty
  bool longValue = true;          // a 40-byte readable 00 01 … 27
  // What a write makes the notifying characteristic send; nothing when empty.
  std::vector<std::string> notifyValues = {"0101", "0102", "0103"};
  std::optional<int> rssi = -55;  // none: the radio's default
  // A GATT table (JSON array) in place of the phone's own and its
  // notifications; empty: no GATT table at all.
  std::optional<std::string> gatt{};
  std::string extra{};  // more fields, e.g. an address rotation
};

// The phone as one peripheral of a scenario.
inline std::string PhonePeripheral(const PhoneOptions& o = {}) {
  const std::string service = kPhoneServiceText;
  std::string text = R"({"name": ")" + o.name + R"(", "address": ")" + kPhoneAddress +
                     R"(", "address_type": "random", "adv_interval_ms": 100,)";
  if (!o.extra.empty()) {
    text += o.extra + ",";
  }
  text += R"("adv_data": {"flags": 6, "uuids128": [")" + service + R"("]})";
  if (o.rssi) {
    text += R"(, "rssi": )" + std::to_string(*o.rssi);
  }
  if (o.gatt) {
    return text + (o.gatt->empty() ? "" : R"(, "gatt": )" + *o.gatt) + "}";
  }
  text += R"(, "gatt": [)";
  if (!o.deviceName.empty()) {
    text += R"({"uuid": "1800", "characteristics": [{"uuid": "2a00", "properties": ["read"], "value_text": ")" +
            o.deviceName + R"("}]},)";
  }
  text += R"({"uuid": ")" + service + R"(", "characteristics": [)";
  text += R"({"uuid": ")" + std::string(kWritableText) + R"(", "properties": ["write", "write_without_response"]},)";
  text += R"({"uuid": ")" + std::string(kNotifyingText) + R"(", "properties": ["notify"]})";
  if (!o.shortValue.empty()) {
    text += R"(, {"uuid": ")" + std::string(kShortValueText) + R"(", "properties": ["read"], "value": ")" +
            o.shortValue + R"("})";
  }
  if (o.longValue) {
    text += R"(, {"uuid": ")" + std::string(kLongValueText) +
            R"(", "properties": ["read"],
             "value": "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f2021222324252627"})";
  }
  text += "]}]";
  if (!o.notifyValues.empty()) {
    std::string values;
    for (const auto& value : o.notifyValues) {
      values += (values.empty() ? "\"" : ", \"") + value + "\"";
    }
    text += R"(, "behaviours": [{"on": "write", "characteristic": ")" + std::string(kWritableText) +
            R"(", "notify": ")" + kNotifyingText + R"(", "values": [)" + values + R"(], "count": )" +
            std::to_string(o.notifyValues.size()) + R"(, "interval_ms": 0}])";
  }
  return text + "}";
}

// A second phone that advertises only manufacturer data; `gatt` is its GATT
// table's JSON array, or empty for none.
inline std::string BackgroundPhone(const std::string& name, int rssi, const std::string& gatt = "") {
  std::string text = R"({"name": ")" + name + R"(", "address": ")" + kBackgroundPhoneAddress +
                     R"(", "address_type": "random", "adv_interval_ms": 200,
                        "adv_data": {"flags": 26, "manufacturer_data": "4c0010050b1c1a2b3c"}, "rssi": )" +
                     std::to_string(rssi);
  if (!gatt.empty()) {
    text += R"(, "gatt": )" + gatt;
  }
  return text + "}";
}

// A BLED112 with three connection slots and these peripherals (JSON objects,
// comma-separated).
inline std::string Bled112Scenario(const std::string& peripherals, const std::string& variant = "dongle",
                                   const std::string& firmware = kFirmware18) {
  return R"({"radio": {"variant": ")" + variant + R"(", "firmware": )" + firmware +
         R"(, "connection_slots": 3}, "peripherals": [)" + peripherals + "]}";
}

}  // namespace lumen::testing
