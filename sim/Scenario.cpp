#include "sim/Scenario.h"

#include <cmath>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

namespace lumen::sim {

namespace {

using Json = nlohmann::json;

[[noreturn]] void Fail(const std::string& path, const std::string& what) { throw ScenarioError(path + ": " + what); }

void ExpectObject(const Json& json, const std::string& path, std::initializer_list<const char*> allowedKeys) {
  if (!json.is_object()) Fail(path, "expected an object");
  std::set<std::string> allowed(allowedKeys.begin(), allowedKeys.end());
  for (const auto& item : json.items()) {
    if (allowed.count(item.key()) == 0) Fail(path + "." + item.key(), "unknown key");
  }
}

int64_t ReadInteger(const Json& json, const std::string& path, int64_t min, int64_t max) {
  if (!json.is_number_integer()) Fail(path, "expected an integer");
  int64_t value = json.get<int64_t>();
  if (value < min || value > max) {
    Fail(path, "must be between " + std::to_string(min) + " and " + std::to_string(max));
  }
  return value;
}

template <typename T>
void ReadOptionalInteger(const Json& object, const char* key, const std::string& path, T& out, int64_t min,
                         int64_t max) {
  if (object.contains(key)) out = static_cast<T>(ReadInteger(object.at(key), path + "." + key, min, max));
}

bool ReadBool(const Json& json, const std::string& path) {
  if (!json.is_boolean()) Fail(path, "expected true or false");
  return json.get<bool>();
}

std::string ReadString(const Json& json, const std::string& path) {
  if (!json.is_string()) Fail(path, "expected a string");
  return json.get<std::string>();
}

Bytes ReadHex(const Json& json, const std::string& path) {
  try {
    return ParseHex(ReadString(json, path));
  } catch (const std::invalid_argument& e) {
    Fail(path, e.what());
  }
}

BdAddress ReadAddress(const Json& json, const std::string& path) {
  try {
    return BdAddress::Parse(ReadString(json, path));
  } catch (const std::invalid_argument& e) {
    Fail(path, e.what());
  }
}

AttUuid ReadUuid(const Json& json, const std::string& path) {
  try {
    return AttUuid::Parse(ReadString(json, path));
  } catch (const std::invalid_argument& e) {
    Fail(path, e.what());
  }
}

// A duration given as "<base>_ms" or "<base>_s" (seconds may be fractional).
std::optional<uint64_t> ReadDurationMs(const Json& object, const std::string& base, const std::string& path) {
  std::string msKey = base + "_ms";
  std::string sKey = base + "_s";
  if (object.contains(msKey) && object.contains(sKey)) Fail(path + "." + base, "give either _ms or _s, not both");
  if (object.contains(msKey)) {
    return static_cast<uint64_t>(ReadInteger(object.at(msKey), path + "." + msKey, 0, INT64_MAX / 1000));
  }
  if (object.contains(sKey)) {
    const Json& seconds = object.at(sKey);
    if (!seconds.is_number() || seconds.get<double>() < 0) Fail(path + "." + sKey, "expected a non-negative number");
    return static_cast<uint64_t>(std::llround(seconds.get<double>() * 1000.0));
  }
  return std::nullopt;
}

void AppendAd(Bytes& out, uint8_t type, const Bytes& data) {
  out.push_back(static_cast<uint8_t>(data.size() + 1));
  out.push_back(type);
  out.insert(out.end(), data.begin(), data.end());
}

// Hex text, or an object listing advertising-data fields that are laid out in a fixed order.
Bytes ReadAdvertisingData(const Json& json, const std::string& path) {
  Bytes out;
  if (json.is_string()) {
    out = ReadHex(json, path);
  } else {
    ExpectObject(
        json, path,
        {"flags", "uuids16", "uuids32", "uuids128", "name", "short_name", "tx_power", "manufacturer_data", "raw"});
    if (json.contains("flags")) {
      AppendAd(out, 0x01, {static_cast<uint8_t>(ReadInteger(json.at("flags"), path + ".flags", 0, 255))});
    }
    const std::pair<const char*, std::pair<uint8_t, size_t>> lists[] = {
        {"uuids16", {0x03, 2}}, {"uuids32", {0x05, 4}}, {"uuids128", {0x07, 16}}};
    for (const auto& [key, typeAndSize] : lists) {
      if (!json.contains(key)) continue;
      const Json& list = json.at(key);
      std::string listPath = path + "." + key;
      if (!list.is_array()) Fail(listPath, "expected an array of UUIDs");
      Bytes data;
      for (size_t i = 0; i < list.size(); ++i) {
        AttUuid uuid = ReadUuid(list[i], listPath + "[" + std::to_string(i) + "]");
        if (uuid.Size() != typeAndSize.second) Fail(listPath + "[" + std::to_string(i) + "]", "wrong UUID width");
        data.insert(data.end(), uuid.LittleEndian().begin(), uuid.LittleEndian().end());
      }
      AppendAd(out, typeAndSize.first, data);
    }
    if (json.contains("name")) {
      std::string name = ReadString(json.at("name"), path + ".name");
      AppendAd(out, 0x09, Bytes(name.begin(), name.end()));
    }
    if (json.contains("short_name")) {
      std::string name = ReadString(json.at("short_name"), path + ".short_name");
      AppendAd(out, 0x08, Bytes(name.begin(), name.end()));
    }
    if (json.contains("tx_power")) {
      int64_t power = ReadInteger(json.at("tx_power"), path + ".tx_power", -127, 127);
      AppendAd(out, 0x0A, {static_cast<uint8_t>(static_cast<int8_t>(power))});
    }
    if (json.contains("manufacturer_data")) {
      AppendAd(out, 0xFF, ReadHex(json.at("manufacturer_data"), path + ".manufacturer_data"));
    }
    if (json.contains("raw")) {
      Bytes raw = ReadHex(json.at("raw"), path + ".raw");
      out.insert(out.end(), raw.begin(), raw.end());
    }
  }
  if (out.size() > 31) Fail(path, "advertising data is " + std::to_string(out.size()) + " bytes, at most 31 fit");
  return out;
}

Bytes ReadValue(const Json& object, const std::string& path) {
  if (object.contains("value") && object.contains("value_text")) Fail(path, "give either value or value_text");
  if (object.contains("value")) return ReadHex(object.at("value"), path + ".value");
  if (object.contains("value_text")) {
    std::string text = ReadString(object.at("value_text"), path + ".value_text");
    return Bytes(text.begin(), text.end());
  }
  return {};
}

uint8_t ReadProperties(const Json& json, const std::string& path) {
  if (json.is_number_integer()) return static_cast<uint8_t>(ReadInteger(json, path, 0, 255));
  if (!json.is_array()) Fail(path, "expected a list of property names or an integer");
  static const std::pair<const char*, uint8_t> kNames[] = {
      {"broadcast", gatt_properties::kBroadcast},
      {"read", gatt_properties::kRead},
      {"write_without_response", gatt_properties::kWriteWithoutResponse},
      {"write", gatt_properties::kWrite},
      {"notify", gatt_properties::kNotify},
      {"indicate", gatt_properties::kIndicate},
      {"authenticated_signed_writes", gatt_properties::kAuthenticatedSignedWrites},
      {"extended_properties", gatt_properties::kExtendedProperties}};
  uint8_t properties = 0;
  for (size_t i = 0; i < json.size(); ++i) {
    std::string name = ReadString(json[i], path + "[" + std::to_string(i) + "]");
    bool known = false;
    for (const auto& [text, bit] : kNames) {
      if (name == text) {
        properties |= bit;
        known = true;
      }
    }
    if (!known) Fail(path + "[" + std::to_string(i) + "]", "unknown property \"" + name + "\"");
  }
  return properties;
}

GattCharacteristic ReadCharacteristic(const Json& json, const std::string& path) {
  ExpectObject(json, path, {"uuid", "properties", "value", "value_text", "descriptors"});
  if (!json.contains("uuid")) Fail(path, "uuid is required");
  GattCharacteristic characteristic;
  characteristic.uuid = ReadUuid(json.at("uuid"), path + ".uuid");
  if (json.contains("properties"))
    characteristic.properties = ReadProperties(json.at("properties"), path + ".properties");
  characteristic.value = ReadValue(json, path);
  bool hasConfiguration = false;
  if (json.contains("descriptors")) {
    const Json& list = json.at("descriptors");
    if (!list.is_array()) Fail(path + ".descriptors", "expected an array");
    for (size_t i = 0; i < list.size(); ++i) {
      std::string itemPath = path + ".descriptors[" + std::to_string(i) + "]";
      ExpectObject(list[i], itemPath, {"uuid", "value", "value_text", "writable"});
      if (!list[i].contains("uuid")) Fail(itemPath, "uuid is required");
      GattDescriptor descriptor;
      descriptor.uuid = ReadUuid(list[i].at("uuid"), itemPath + ".uuid");
      descriptor.value = ReadValue(list[i], itemPath);
      if (list[i].contains("writable")) descriptor.writable = ReadBool(list[i].at("writable"), itemPath + ".writable");
      if (descriptor.uuid.Is16(kClientCharacteristicConfigurationUuid)) {
        hasConfiguration = true;
        if (descriptor.value.empty()) descriptor.value = {0, 0};
        if (descriptor.value.size() != 2) Fail(itemPath + ".value", "a client configuration is 2 bytes");
      }
      characteristic.descriptors.push_back(std::move(descriptor));
    }
  }
  // Notifications need somewhere for the client to switch them on.
  if (!hasConfiguration && (characteristic.properties & (gatt_properties::kNotify | gatt_properties::kIndicate))) {
    characteristic.descriptors.insert(characteristic.descriptors.begin(),
                                      GattDescriptor{AttUuid::From16(kClientCharacteristicConfigurationUuid), {0, 0}});
  }
  return characteristic;
}

GattService ReadService(const Json& json, const std::string& path) {
  ExpectObject(json, path, {"uuid", "primary", "start_handle", "characteristics"});
  if (!json.contains("uuid")) Fail(path, "uuid is required");
  GattService service;
  service.uuid = ReadUuid(json.at("uuid"), path + ".uuid");
  if (json.contains("primary")) service.primary = ReadBool(json.at("primary"), path + ".primary");
  ReadOptionalInteger(json, "start_handle", path, service.startHandle, 1, 0xFFFF);
  if (json.contains("characteristics")) {
    const Json& list = json.at("characteristics");
    if (!list.is_array()) Fail(path + ".characteristics", "expected an array");
    for (size_t i = 0; i < list.size(); ++i) {
      service.characteristics.push_back(
          ReadCharacteristic(list[i], path + ".characteristics[" + std::to_string(i) + "]"));
    }
  }
  return service;
}

RssiProfile ReadRssi(const Json& json, const std::string& path) {
  RssiProfile profile;
  if (json.is_number_integer()) {
    profile.fromDbm = profile.toDbm = static_cast<int>(ReadInteger(json, path, -127, 20));
    return profile;
  }
  ExpectObject(json, path, {"from", "to", "over_ms", "over_s", "start_ms", "start_s"});
  if (!json.contains("from") || !json.contains("to")) Fail(path, "from and to are required");
  profile.fromDbm = static_cast<int>(ReadInteger(json.at("from"), path + ".from", -127, 20));
  profile.toDbm = static_cast<int>(ReadInteger(json.at("to"), path + ".to", -127, 20));
  profile.overMs = ReadDurationMs(json, "over", path).value_or(0);
  profile.startMs = ReadDurationMs(json, "start", path).value_or(0);
  return profile;
}

void ReadBehaviour(const Json& json, const std::string& path, Peripheral& peripheral) {
  if (!json.is_object() || !json.contains("on")) Fail(path, "a behaviour needs \"on\"");
  std::string on = ReadString(json.at("on"), path + ".on");
  if (on == "write") {
    ExpectObject(json, path,
                 {"on", "characteristic", "when_value", "notify", "value", "values", "count", "delay_ms", "delay_s",
                  "interval_ms", "interval_s"});
    if (!json.contains("characteristic")) Fail(path, "characteristic is required");
    WriteBehaviour behaviour;
    behaviour.characteristic = ReadUuid(json.at("characteristic"), path + ".characteristic");
    if (json.contains("when_value")) behaviour.whenValue = ReadHex(json.at("when_value"), path + ".when_value");
    behaviour.notifyCharacteristic =
        json.contains("notify") ? ReadUuid(json.at("notify"), path + ".notify") : behaviour.characteristic;
    if (json.contains("value")) behaviour.values.push_back(ReadHex(json.at("value"), path + ".value"));
    if (json.contains("values")) {
      const Json& list = json.at("values");
      if (!list.is_array()) Fail(path + ".values", "expected an array of hex strings");
      for (size_t i = 0; i < list.size(); ++i) {
        behaviour.values.push_back(ReadHex(list[i], path + ".values[" + std::to_string(i) + "]"));
      }
    }
    if (behaviour.values.empty()) Fail(path, "value or values is required");
    ReadOptionalInteger(json, "count", path, behaviour.count, 0, 100000);
    behaviour.delayMs = ReadDurationMs(json, "delay", path).value_or(0);
    behaviour.intervalMs = ReadDurationMs(json, "interval", path).value_or(0);
    peripheral.onWrite.push_back(std::move(behaviour));
  } else if (on == "gatt_procedure") {
    ExpectObject(json, path, {"on", "action", "times", "reason"});
    if (!json.contains("action") || ReadString(json.at("action"), path + ".action") != "disconnect") {
      Fail(path + ".action", "the only action is \"disconnect\"");
    }
    GattDisconnectBehaviour behaviour;
    ReadOptionalInteger(json, "times", path, behaviour.times, 0, UINT32_MAX);
    ReadOptionalInteger(json, "reason", path, behaviour.reason, 0, 0xFFFF);
    peripheral.disconnectDuringGatt = behaviour;
  } else if (on == "connect") {
    ExpectObject(json, path, {"on", "action", "after_ms", "after_s", "reason"});
    if (!json.contains("action") || ReadString(json.at("action"), path + ".action") != "disconnect") {
      Fail(path + ".action", "the only action is \"disconnect\"");
    }
    ConnectDisconnectBehaviour behaviour;
    behaviour.afterMs = ReadDurationMs(json, "after", path).value_or(0);
    ReadOptionalInteger(json, "reason", path, behaviour.reason, 0, 0xFFFF);
    peripheral.disconnectAfterConnect = behaviour;
  } else if (on == "read") {
    ExpectObject(json, path, {"on", "characteristic", "status", "skip", "times", "at"});
    if (!json.contains("characteristic")) Fail(path, "characteristic is required");
    if (!json.contains("status")) Fail(path, "status is required");
    ReadStatusBehaviour behaviour;
    behaviour.characteristic = ReadUuid(json.at("characteristic"), path + ".characteristic");
    bool known = false;
    for (const GattService& service : peripheral.gatt) {
      for (const GattCharacteristic& characteristic : service.characteristics) {
        known = known || characteristic.uuid.Matches(behaviour.characteristic);
      }
    }
    if (!known) Fail(path + ".characteristic", "the peripheral has no characteristic with this UUID");
    // ATT errors only: both radios can carry them.
    behaviour.status = static_cast<uint16_t>(ReadInteger(json.at("status"), path + ".status", 0x0101, 0x01FF));
    ReadOptionalInteger(json, "skip", path, behaviour.skip, 0, UINT32_MAX);
    ReadOptionalInteger(json, "times", path, behaviour.times, 0, UINT32_MAX);
    if (json.contains("at")) {
      if (ReadString(json.at("at"), path + ".at") != "end") Fail(path + ".at", "the only value is \"end\"");
      behaviour.atEnd = true;
    }
    peripheral.onRead.push_back(std::move(behaviour));
  } else {
    Fail(path + ".on", "expected \"write\", \"read\", \"gatt_procedure\" or \"connect\"");
  }
}

ConnectRequest ReadConnectRequest(const Json& json, const std::string& path) {
  static const std::pair<const char*, ConnectRequest> kNames[] = {
      {"conn_param_update", ConnectRequest::kConnParamUpdate},
      {"data_length_update", ConnectRequest::kDataLengthUpdate},
      {"phy_update", ConnectRequest::kPhyUpdate},
      {"mtu_exchange", ConnectRequest::kMtuExchange},
      {"sys_attr_missing", ConnectRequest::kSysAttrMissing},
      {"user_mem_request", ConnectRequest::kUserMemRequest}};
  std::string name = ReadString(json, path);
  for (const auto& [text, request] : kNames) {
    if (name == text) return request;
  }
  Fail(path,
       "expected \"conn_param_update\", \"data_length_update\", \"phy_update\", \"mtu_exchange\", "
       "\"sys_attr_missing\" or \"user_mem_request\"");
}

Peripheral ReadPeripheral(const Json& json, const std::string& path, size_t index) {
  ExpectObject(json, path,
               {"name",
                "address",
                "address_type",
                "address_rotation",
                "adv_data",
                "scan_response",
                "adv_interval_ms",
                "first_advert_ms",
                "connectable",
                "advertises_while_connected",
                "rssi",
                "present_from_ms",
                "present_from_s",
                "present_until_ms",
                "present_until_s",
                "connect_delay_ms",
                "version_ind",
                "gatt",
                "behaviours",
                "requests_on_connect"});
  Peripheral peripheral;
  peripheral.name =
      json.contains("name") ? ReadString(json.at("name"), path + ".name") : "peripheral" + std::to_string(index);
  if (!json.contains("address")) Fail(path, "address is required");
  peripheral.address = ReadAddress(json.at("address"), path + ".address");
  if (json.contains("address_type")) {
    std::string type = ReadString(json.at("address_type"), path + ".address_type");
    if (type == "public") {
      peripheral.addressType = AddressType::kPublic;
    } else if (type == "random") {
      peripheral.addressType = AddressType::kRandom;
    } else {
      Fail(path + ".address_type", "expected \"public\" or \"random\"");
    }
  }
  peripheral.rotation.addresses.push_back(peripheral.address);
  if (json.contains("address_rotation")) {
    const Json& rotation = json.at("address_rotation");
    std::string rotationPath = path + ".address_rotation";
    ExpectObject(rotation, rotationPath, {"addresses", "every_ms", "every_s"});
    auto every = ReadDurationMs(rotation, "every", rotationPath);
    if (!every || *every == 0) Fail(rotationPath, "every_ms or every_s (non-zero) is required");
    peripheral.rotation.everyMs = *every;
    if (rotation.contains("addresses")) {
      const Json& list = rotation.at("addresses");
      if (!list.is_array()) Fail(rotationPath + ".addresses", "expected an array");
      for (size_t i = 0; i < list.size(); ++i) {
        peripheral.rotation.addresses.push_back(
            ReadAddress(list[i], rotationPath + ".addresses[" + std::to_string(i) + "]"));
      }
    }
  }
  if (json.contains("adv_data")) peripheral.advData = ReadAdvertisingData(json.at("adv_data"), path + ".adv_data");
  if (json.contains("scan_response")) {
    peripheral.scanResponse = ReadAdvertisingData(json.at("scan_response"), path + ".scan_response");
  }
  ReadOptionalInteger(json, "adv_interval_ms", path, peripheral.advIntervalMs, 20, 10240);
  peripheral.firstAdvertMs = peripheral.advIntervalMs;
  ReadOptionalInteger(json, "first_advert_ms", path, peripheral.firstAdvertMs, 0, INT64_MAX / 1000);
  if (json.contains("connectable")) peripheral.connectable = ReadBool(json.at("connectable"), path + ".connectable");
  if (json.contains("advertises_while_connected")) {
    peripheral.advertisesWhileConnected =
        ReadBool(json.at("advertises_while_connected"), path + ".advertises_while_connected");
  }
  if (json.contains("rssi")) peripheral.rssi = ReadRssi(json.at("rssi"), path + ".rssi");
  peripheral.presentFromMs = ReadDurationMs(json, "present_from", path).value_or(0);
  peripheral.presentUntilMs = ReadDurationMs(json, "present_until", path);
  ReadOptionalInteger(json, "connect_delay_ms", path, peripheral.connectDelayMs, 0, INT64_MAX / 1000);
  if (json.contains("version_ind")) {
    const Json& version = json.at("version_ind");
    std::string versionPath = path + ".version_ind";
    ExpectObject(version, versionPath, {"version", "company_id", "subversion"});
    VersionIndication indication;
    ReadOptionalInteger(version, "version", versionPath, indication.version, 0, 255);
    ReadOptionalInteger(version, "company_id", versionPath, indication.companyId, 0, 0xFFFF);
    ReadOptionalInteger(version, "subversion", versionPath, indication.subversion, 0, 0xFFFF);
    peripheral.versionIndication = indication;
  }
  if (json.contains("gatt")) {
    const Json& list = json.at("gatt");
    if (!list.is_array()) Fail(path + ".gatt", "expected an array of services");
    for (size_t i = 0; i < list.size(); ++i) {
      peripheral.gatt.push_back(ReadService(list[i], path + ".gatt[" + std::to_string(i) + "]"));
    }
  }
  if (json.contains("requests_on_connect")) {
    const Json& list = json.at("requests_on_connect");
    std::string listPath = path + ".requests_on_connect";
    if (!list.is_array()) Fail(listPath, "expected an array");
    std::vector<ConnectRequest> requests;
    for (size_t i = 0; i < list.size(); ++i) {
      std::string itemPath = listPath + "[" + std::to_string(i) + "]";
      requests.push_back(ReadConnectRequest(list[i], itemPath));
    }
    peripheral.requestsOnConnect = std::move(requests);
  }
  if (json.contains("behaviours")) {
    const Json& list = json.at("behaviours");
    if (!list.is_array()) Fail(path + ".behaviours", "expected an array");
    for (size_t i = 0; i < list.size(); ++i) {
      ReadBehaviour(list[i], path + ".behaviours[" + std::to_string(i) + "]", peripheral);
    }
  }
  return peripheral;
}

// Driver functions whose calls the virtual nRF52 board can ignore: those it
// answers in sim/nrf52/SdRpc.cpp.
constexpr const char* kNrf52Functions[] = {"sd_rpc_conn_reset",
                                           "sd_ble_enable",
                                           "sd_ble_cfg_set",
                                           "sd_ble_version_get",
                                           "sd_ble_user_mem_reply",
                                           "sd_ble_gap_scan_start",
                                           "sd_ble_gap_scan_stop",
                                           "sd_ble_gap_connect",
                                           "sd_ble_gap_connect_cancel",
                                           "sd_ble_gap_disconnect",
                                           "sd_ble_gap_conn_param_update",
                                           "sd_ble_gap_data_length_update",
                                           "sd_ble_gap_phy_update",
                                           "sd_ble_gap_rssi_start",
                                           "sd_ble_gap_rssi_stop",
                                           "sd_ble_gap_tx_power_set",
                                           "sd_ble_gap_adv_set_configure",
                                           "sd_ble_gap_adv_start",
                                           "sd_ble_gap_adv_stop",
                                           "sd_ble_gattc_primary_services_discover",
                                           "sd_ble_gattc_characteristics_discover",
                                           "sd_ble_gattc_read",
                                           "sd_ble_gattc_write",
                                           "sd_ble_gattc_hv_confirm",
                                           "sd_ble_gattc_exchange_mtu_request",
                                           "sd_ble_gatts_sys_attr_set",
                                           "sd_ble_gatts_exchange_mtu_reply"};

IgnoredCalls ReadIgnoredCalls(const Json& json, const std::string& path) {
  ExpectObject(json, path, {"function", "skip", "times"});
  if (!json.contains("function")) Fail(path, "function is required");
  IgnoredCalls rule;
  rule.function = ReadString(json.at("function"), path + ".function");
  bool known = false;
  for (const char* name : kNrf52Functions) known = known || rule.function == name;
  if (!known) Fail(path + ".function", "the virtual nRF52 board has no function \"" + rule.function + "\"");
  ReadOptionalInteger(json, "skip", path, rule.skip, 0, UINT32_MAX);
  ReadOptionalInteger(json, "times", path, rule.times, 0, UINT32_MAX);
  return rule;
}

RadioSettings ReadRadio(const Json& json, const std::string& path) {
  ExpectObject(json, path,
               {"variant", "firmware", "connection_slots", "address", "bootloader_version", "boot_delay_ms", "nordic"});
  RadioSettings radio;
  if (json.contains("variant")) {
    std::string variant = ReadString(json.at("variant"), path + ".variant");
    if (variant == "dongle") {
      radio.variant = DeviceVariant::kDongle;
    } else if (variant == "module") {
      radio.variant = DeviceVariant::kModule;
    } else {
      Fail(path + ".variant", "expected \"dongle\" or \"module\"");
    }
  }
  if (json.contains("firmware")) {
    const Json& firmware = json.at("firmware");
    std::string firmwarePath = path + ".firmware";
    ExpectObject(firmware, firmwarePath, {"major", "minor", "patch", "build", "ll_version", "protocol_version", "hw"});
    ReadOptionalInteger(firmware, "major", firmwarePath, radio.firmware.major, 0, 0xFFFF);
    ReadOptionalInteger(firmware, "minor", firmwarePath, radio.firmware.minor, 0, 0xFFFF);
    ReadOptionalInteger(firmware, "patch", firmwarePath, radio.firmware.patch, 0, 0xFFFF);
    ReadOptionalInteger(firmware, "build", firmwarePath, radio.firmware.build, 0, 0xFFFF);
    ReadOptionalInteger(firmware, "ll_version", firmwarePath, radio.firmware.llVersion, 0, 0xFFFF);
    ReadOptionalInteger(firmware, "protocol_version", firmwarePath, radio.firmware.protocolVersion, 0, 255);
    ReadOptionalInteger(firmware, "hw", firmwarePath, radio.firmware.hardware, 0, 255);
  }
  ReadOptionalInteger(json, "connection_slots", path, radio.connectionSlots, 0, 8);
  if (json.contains("address")) radio.address = ReadAddress(json.at("address"), path + ".address");
  ReadOptionalInteger(json, "bootloader_version", path, radio.bootloaderVersion, 0, UINT32_MAX);
  ReadOptionalInteger(json, "boot_delay_ms", path, radio.bootDelayMs, 0, INT64_MAX / 1000);
  if (json.contains("nordic")) {
    const Json& nordic = json.at("nordic");
    std::string nordicPath = path + ".nordic";
    ExpectObject(nordic, nordicPath, {"version_number", "company_id", "subversion_number", "ignore_calls"});
    ReadOptionalInteger(nordic, "version_number", nordicPath, radio.softDevice.versionNumber, 0, 255);
    ReadOptionalInteger(nordic, "company_id", nordicPath, radio.softDevice.companyId, 0, 0xFFFF);
    ReadOptionalInteger(nordic, "subversion_number", nordicPath, radio.softDevice.subversionNumber, 0, 0xFFFF);
    if (nordic.contains("ignore_calls")) {
      const Json& list = nordic.at("ignore_calls");
      std::string listPath = nordicPath + ".ignore_calls";
      if (!list.is_array()) Fail(listPath, "expected an array");
      for (size_t i = 0; i < list.size(); ++i) {
        radio.ignoredCalls.push_back(ReadIgnoredCalls(list[i], listPath + "[" + std::to_string(i) + "]"));
      }
    }
  }
  return radio;
}

}  // namespace

int RssiProfile::At(uint64_t ms) const {
  if (overMs == 0 || ms >= startMs + overMs) return ms < startMs ? fromDbm : toDbm;
  if (ms <= startMs) return fromDbm;
  double fraction = static_cast<double>(ms - startMs) / static_cast<double>(overMs);
  return static_cast<int>(std::lround(fromDbm + (toDbm - fromDbm) * fraction));
}

BdAddress Peripheral::AddressAt(uint64_t ms) const {
  if (rotation.everyMs == 0) return address;
  uint64_t step = ms / rotation.everyMs;
  if (rotation.addresses.size() > 1) return rotation.addresses[step % rotation.addresses.size()];
  if (step == 0) return address;
  // No list: derive a new address per step, keeping the top byte so the
  // random-address sub-type bits stay as configured.
  BdAddress next = address;
  uint64_t mix = (step + 1) * 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 5; ++i) next.bytes[i] ^= static_cast<uint8_t>(mix >> (8 * (i + 2)));
  return next;
}

std::optional<uint16_t> Peripheral::CountRead(const AttUuid& characteristic, std::vector<uint64_t>& seen,
                                              bool atValueEnd) const {
  seen.resize(onRead.size(), 0);
  std::optional<uint16_t> status;
  for (size_t i = 0; i < onRead.size(); ++i) {
    const ReadStatusBehaviour& behaviour = onRead[i];
    if (!behaviour.characteristic.Matches(characteristic)) continue;
    if (behaviour.atEnd && !atValueEnd) continue;
    uint64_t index = seen[i]++;
    if (!status && index >= behaviour.skip && index - behaviour.skip < behaviour.times) status = behaviour.status;
  }
  return status;
}

std::optional<uint16_t> Peripheral::CountGattProcedure(uint32_t& linkDrops, uint16_t linkReason, uint32_t& left) const {
  if (linkDrops > 0) {
    --linkDrops;
    return linkReason;
  }
  if (left == 0) return std::nullopt;
  --left;
  return disconnectDuringGatt->reason;
}

bool Peripheral::PresentAt(uint64_t ms) const {
  return ms >= presentFromMs && (!presentUntilMs || ms < *presentUntilMs);
}

Scenario Scenario::FromJson(std::string_view text) {
  Json json;
  try {
    json = Json::parse(text);
  } catch (const Json::parse_error& e) {
    throw ScenarioError(std::string("scenario is not valid JSON: ") + e.what());
  }
  ExpectObject(json, "$", {"radio", "peripherals"});
  Scenario scenario;
  if (json.contains("radio")) scenario.radio = ReadRadio(json.at("radio"), "$.radio");
  if (json.contains("peripherals")) {
    const Json& list = json.at("peripherals");
    if (!list.is_array()) Fail("$.peripherals", "expected an array");
    std::set<std::string> names;
    for (size_t i = 0; i < list.size(); ++i) {
      std::string path = "$.peripherals[" + std::to_string(i) + "]";
      scenario.peripherals.push_back(ReadPeripheral(list[i], path, i));
      if (!names.insert(scenario.peripherals.back().name).second) Fail(path + ".name", "names must be unique");
    }
  }
  return scenario;
}

Scenario Scenario::FromFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw ScenarioError(path + ": cannot open scenario file");
  std::stringstream text;
  text << file.rdbuf();
  try {
    return FromJson(text.str());
  } catch (const ScenarioError& e) {
    throw ScenarioError(path + ": " + e.what());
  }
}

const Peripheral* Scenario::Find(std::string_view name) const {
  for (const Peripheral& peripheral : peripherals) {
    if (peripheral.name == name) return &peripheral;
  }
  return nullptr;
}

}  // namespace lumen::sim
