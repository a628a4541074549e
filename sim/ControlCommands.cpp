#include "sim/ControlCommands.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "sim/AttUuid.h"
#include "sim/Bytes.h"

namespace lumen::sim {

namespace {

using Json = nlohmann::ordered_json;  // replies keep "ok" first, as written
using std::chrono::milliseconds;

constexpr int kProtocolVersion = 1;
constexpr int64_t kDefaultWaitMs = 5000;
constexpr size_t kRealTimeFrameLogLimit = 10000;  // a radio left running on its own keeps the newest frames

// A request the command cannot carry out; the text is the reply's "error".
class RequestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int64_t Integer(const Json& request, const char* key, std::optional<int64_t> fallback, int64_t min, int64_t max) {
  if (!request.contains(key)) {
    if (fallback) return *fallback;
    throw RequestError(std::string("\"") + key + "\" is missing");
  }
  const Json& value = request.at(key);
  int64_t number = 0;
  if (value.is_number_integer()) {
    number = value.get<int64_t>();
  } else if (value.is_string()) {  // "0x0181" reads better than 385 for result codes
    const std::string text = value.get<std::string>();
    size_t used = 0;
    try {
      number = std::stoll(text, &used, 0);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size()) throw RequestError(std::string("\"") + key + "\" is not an integer");
  } else {
    throw RequestError(std::string("\"") + key + "\" must be an integer");
  }
  if (number < min || number > max) {
    throw RequestError(std::string("\"") + key + "\" must be within " + std::to_string(min) + ".." +
                       std::to_string(max));
  }
  return number;
}

std::string Text(const Json& request, const char* key, std::optional<std::string> fallback = std::nullopt) {
  if (!request.contains(key)) {
    if (fallback) return *fallback;
    throw RequestError(std::string("\"") + key + "\" is missing");
  }
  if (!request.at(key).is_string()) throw RequestError(std::string("\"") + key + "\" must be a string");
  return request.at(key).get<std::string>();
}

bool Flag(const Json& request, const char* key, bool fallback) {
  if (!request.contains(key)) return fallback;
  if (!request.at(key).is_boolean()) throw RequestError(std::string("\"") + key + "\" must be true or false");
  return request.at(key).get<bool>();
}

// Hex text ("de ad be ef", "deadbeef") or an array of byte values.
Bytes ByteArgument(const Json& request, const char* key) {
  if (!request.contains(key)) throw RequestError(std::string("\"") + key + "\" is missing");
  const Json& value = request.at(key);
  if (value.is_string()) {
    try {
      return ParseHex(value.get<std::string>());
    } catch (const std::invalid_argument& e) {
      throw RequestError(std::string("\"") + key + "\": " + e.what());
    }
  }
  if (value.is_array()) {
    Bytes bytes;
    for (const Json& element : value) {
      if (!element.is_number_integer() || element.get<int64_t>() < 0 || element.get<int64_t>() > 255) {
        throw RequestError(std::string("\"") + key + "\" must hold byte values 0..255");
      }
      bytes.push_back(static_cast<uint8_t>(element.get<int64_t>()));
    }
    return bytes;
  }
  throw RequestError(std::string("\"") + key + "\" must be hex text or an array of bytes");
}

milliseconds Timeout(const Json& request) {
  return milliseconds(Integer(request, "timeout_ms", kDefaultWaitMs, 0, 24LL * 3600 * 1000));
}

size_t Times(const Json& request) { return static_cast<size_t>(Integer(request, "times", 1, 1, 1000000)); }

Json FrameJson(const Frame& frame) {
  Json json = {{"direction", frame.direction == Frame::Direction::kToRadio ? "to_radio" : "from_radio"},
               {"time_us", frame.simTime.count()},
               {"name", frame.name},
               {"bytes", ToHex(frame.bytes, '\0')}};
  if (auto message = frame.Decode()) {
    Json fields = Json::object();
    for (size_t i = 0; i < message->def->params.size() && i < message->values.size(); ++i) {
      const BgapiParam& param = message->def->params[i];
      const BgapiValue& value = message->values[i];
      if (const auto* number = std::get_if<int64_t>(&value)) {
        fields[param.name] = *number;
      } else if (param.type == BgapiType::kBdAddr) {
        fields[param.name] = message->Address(param.name).ToString();
      } else {
        fields[param.name] = ToHex(std::get<Bytes>(value), '\0');
      }
    }
    json["fields"] = std::move(fields);
  }
  return json;
}

Json FramesJson(const std::vector<Frame>& frames) {
  Json list = Json::array();
  for (const Frame& frame : frames) list.push_back(FrameJson(frame));
  return list;
}

Json OnAirJson(const std::vector<OnAirFrame>& frames) {
  Json list = Json::array();
  for (const OnAirFrame& frame : frames) {
    list.push_back({{"time_us", frame.time.count()},
                    {"adv_data", ToHex(frame.advData, '\0')},
                    {"scan_response", ToHex(frame.scanResponse, '\0')},
                    {"discoverable_mode", frame.discoverableMode},
                    {"connectable_mode", frame.connectableMode},
                    {"interval_min", frame.intervalMinUnits},
                    {"interval_max", frame.intervalMaxUnits},
                    {"channels", frame.channels}});
  }
  return list;
}

Json StateJson(const RadioSnapshot& state) {
  static const char* const kModes[] = {"application", "boot_loader", "rebooting"};
  Json connections = Json::array();
  for (const ConnectionInfo& connection : state.connections) {
    connections.push_back({{"handle", connection.handle},
                           {"established", connection.established},
                           {"peripheral", connection.peripheral},
                           {"address", connection.address.ToString()},
                           {"address_type", connection.addressType == AddressType::kRandom ? "random" : "public"},
                           {"interval", connection.intervalUnits},
                           {"timeout", connection.timeoutUnits},
                           {"latency", connection.latency}});
  }
  return {{"mode", kModes[static_cast<int>(state.mode)]},
          {"discovering", state.discovering},
          {"discover_mode", state.discoverMode},
          {"advertising", state.advertising},
          {"silent", state.silent},
          {"scan_interval", state.scanIntervalUnits},
          {"scan_window", state.scanWindowUnits},
          {"active_scanning", state.activeScanning},
          {"initiating_scan_interval", state.initiatingScanIntervalUnits},
          {"initiating_scan_window", state.initiatingScanWindowUnits},
          {"tx_power", state.txPower},
          {"discoverable_mode", state.discoverableMode},
          {"connectable_mode", state.connectableMode},
          {"adv_data", ToHex(state.advData, '\0')},
          {"scan_response_data", ToHex(state.scanResponseData, '\0')},
          {"connections", std::move(connections)},
          {"resets", state.resets}};
}

using Command = std::function<Json(RadioHost&, const Json&)>;

// Runs `use` on the current radio and answers {"ok":true} plus what it returns.
Json OnRadio(RadioHost& host, const std::function<Json(VirtualBled112&)>& use) {
  Json reply;
  host.With([&](VirtualBled112& radio) { reply = use(radio); });
  if (reply.is_null()) reply = Json::object();
  return reply;
}

using FaultControl = VirtualBled112::FaultControl;

// Arms or acts out a fault; the reply is empty.
Json WithFaults(RadioHost& host, const std::function<void(FaultControl&)>& use) {
  host.With([&](VirtualBled112& radio) { use(radio.Faults()); });
  return Json::object();
}

// A fault on one link, given by "connection" and "reason"; answers whether that link was there.
Command LinkFault(bool (FaultControl::*apply)(uint8_t, uint16_t)) {
  return [apply](RadioHost& host, const Json& request) {
    const auto connection = static_cast<uint8_t>(Integer(request, "connection", std::nullopt, 0, 255));
    const auto reason = static_cast<uint16_t>(Integer(request, "reason", 0x0208, 0, 0xffff));
    return OnRadio(host, [&](VirtualBled112& radio) -> Json {
      return {{"applied", (radio.Faults().*apply)(connection, reason)}};
    });
  };
}

// Answers {"frames": [...]} with one of the radio's frame lists.
Command FrameList(std::vector<Frame> (VirtualBled112::*frames)() const) {
  return [frames](RadioHost& host, const Json&) {
    return OnRadio(host, [frames](VirtualBled112& radio) -> Json {
      return {{"frames", FramesJson((radio.*frames)())}};
    });
  };
}

Json Load(RadioHost& host, const Json& request) {
  Scenario scenario;
  if (request.contains("scenario") == request.contains("scenario_file")) {
    throw RequestError("give either \"scenario\" (an object or JSON text) or \"scenario_file\" (a path)");
  }
  if (request.contains("scenario_file")) {
    scenario = Scenario::FromFile(Text(request, "scenario_file"));
  } else if (request.at("scenario").is_string()) {
    scenario = Scenario::FromJson(request.at("scenario").get<std::string>());
  } else {
    scenario = Scenario::FromJson(request.at("scenario").dump());
  }
  VirtualBled112Options options;
  const std::string variant = Text(request, "variant", "");
  if (variant == "dongle") {
    options.variant = DeviceVariant::kDongle;
  } else if (variant == "module") {
    options.variant = DeviceVariant::kModule;
  } else if (!variant.empty()) {
    throw RequestError("\"variant\" must be \"dongle\" or \"module\"");
  }
  const std::string clock = Text(request, "clock", "manual");
  if (clock == "manual") {
    options.clockMode = SimClock::Mode::kManual;
  } else if (clock == "real_time") {
    options.clockMode = SimClock::Mode::kRealTime;
  } else {
    throw RequestError("\"clock\" must be \"manual\" or \"real_time\"");
  }
  const int64_t defaultLimit = clock == "manual" ? 0 : static_cast<int64_t>(kRealTimeFrameLogLimit);
  options.frameLogLimit = static_cast<size_t>(Integer(request, "frame_log_limit", defaultLimit, 0, 100000000));
  host.Load(std::move(scenario), options);
  return OnRadio(host, [&](VirtualBled112& radio) -> Json {
    return {{"path", radio.Path()}, {"generation", radio.Generation()}, {"link", host.LinkPath()}};
  });
}

Json WaitForFrame(RadioHost& host, const Json& request, Frame::Direction direction) {
  const std::string name = Text(request, "name");
  const auto occurrence = static_cast<size_t>(Integer(request, "occurrence", 1, 1, 100000000));
  std::optional<Frame> found;
  host.Wait(Timeout(request), [&](VirtualBled112& radio, milliseconds slice) {
    found = direction == Frame::Direction::kToRadio ? radio.WaitForCommand(name, slice, occurrence)
                                                    : radio.WaitForSent(name, slice, occurrence);
    return found.has_value();
  });
  return {{"frame", found ? FrameJson(*found) : Json(nullptr)}};
}

const std::map<std::string, Command, std::less<>>& Commands() {
  static const std::map<std::string, Command, std::less<>> commands = {
      {"ping",
       [](RadioHost&, const Json&) -> Json {
         return {{"version", kProtocolVersion}};
       }},
      {"load", Load},
      {"path",
       [](RadioHost& host, const Json&) {
         return OnRadio(host, [&](VirtualBled112& radio) -> Json {
           return {{"path", radio.Path()}, {"generation", radio.Generation()}, {"link", host.LinkPath()}};
         });
       }},
      {"wait_generation",
       [](RadioHost& host, const Json& request) -> Json {
         const auto generation = static_cast<size_t>(Integer(request, "generation", std::nullopt, 1, 100000000));
         std::string path;
         host.Wait(Timeout(request), [&](VirtualBled112& radio, milliseconds slice) {
           path = radio.WaitForGeneration(generation, slice);
           return !path.empty();
         });
         return {{"path", path}};
       }},
      {"advance",
       [](RadioHost& host, const Json& request) {
         const int64_t us = request.contains("us") ? Integer(request, "us", std::nullopt, 0, INT64_MAX / 2)
                                                   : Integer(request, "ms", std::nullopt, 0, INT64_MAX / 2000) * 1000;
         return OnRadio(host, [&](VirtualBled112& radio) -> Json {
           radio.Clock().Advance(std::chrono::microseconds(us));
           return {{"now_us", radio.Clock().Now().count()}};
         });
       }},
      {"now",
       [](RadioHost& host, const Json&) {
         return OnRadio(host, [](VirtualBled112& radio) -> Json { return {{"now_us", radio.Clock().Now().count()}}; });
       }},
      {"stop_answering",
       [](RadioHost& host, const Json& request) {
         const bool on = Flag(request, "on", true);
         return WithFaults(host, [&](FaultControl& faults) { faults.StopAnswering(on); });
       }},
      {"radio_error",
       [](RadioHost& host, const Json&) {
         return WithFaults(host, [](FaultControl& faults) { faults.SendRadioError(); });
       }},
      {"go_silent",
       [](RadioHost& host, const Json& request) {
         const bool on = Flag(request, "on", true);
         return WithFaults(host, [&](FaultControl& faults) { faults.GoSilent(on); });
       }},
      {"drop_connection", LinkFault(&FaultControl::DropConnection)},
      {"disconnect_during_next_gatt_procedure", LinkFault(&FaultControl::DisconnectDuringNextGattProcedure)},
      {"send_garbage",
       [](RadioHost& host, const Json& request) {
         Bytes bytes = ByteArgument(request, "bytes");
         return WithFaults(host, [&](FaultControl& faults) { faults.SendGarbage(std::move(bytes)); });
       }},
      {"close_during_next_command",
       [](RadioHost& host, const Json& request) {
         const std::string name = Text(request, "name", "");
         const auto bytes = static_cast<size_t>(Integer(request, "bytes_before_close", 0, 0, 1 << 20));
         return WithFaults(host, [&](FaultControl& faults) { faults.CloseDuringNextCommand(name, bytes); });
       }},
      {"fail_next_command",
       [](RadioHost& host, const Json& request) {
         const std::string name = Text(request, "name");
         const auto result = static_cast<uint16_t>(Integer(request, "result", std::nullopt, 0, 0xffff));
         const size_t times = Times(request);
         return WithFaults(host, [&](FaultControl& faults) { faults.FailNextCommand(name, result, times); });
       }},
      {"ignore_next_command",
       [](RadioHost& host, const Json& request) {
         const std::string name = Text(request, "name");
         const size_t times = Times(request);
         return WithFaults(host, [&](FaultControl& faults) { faults.IgnoreNextCommand(name, times); });
       }},
      {"lose_next_frame",
       [](RadioHost& host, const Json& request) {
         const std::string name = Text(request, "name");
         const size_t times = Times(request);
         return WithFaults(host, [&](FaultControl& faults) { faults.LoseNextFrame(name, times); });
       }},
      {"garbage_before_next_frame",
       [](RadioHost& host, const Json& request) {
         const std::string name = Text(request, "name");
         Bytes bytes = ByteArgument(request, "bytes");
         return WithFaults(host, [&](FaultControl& faults) { faults.GarbageBeforeNextFrame(name, std::move(bytes)); });
       }},
      {"unplug",
       [](RadioHost& host, const Json&) { return WithFaults(host, [](FaultControl& faults) { faults.Unplug(); }); }},
      {"replug",
       [](RadioHost& host, const Json&) { return WithFaults(host, [](FaultControl& faults) { faults.Replug(); }); }},
      {"clear_faults",
       [](RadioHost& host, const Json&) { return WithFaults(host, [](FaultControl& faults) { faults.Clear(); }); }},
      {"wait_command",
       [](RadioHost& host, const Json& request) { return WaitForFrame(host, request, Frame::Direction::kToRadio); }},
      {"wait_sent",
       [](RadioHost& host, const Json& request) { return WaitForFrame(host, request, Frame::Direction::kFromRadio); }},
      {"command_count",
       [](RadioHost& host, const Json& request) {
         const std::string name = Text(request, "name");
         return OnRadio(host, [&](VirtualBled112& radio) -> Json { return {{"count", radio.CommandCount(name)}}; });
       }},
      {"frames", FrameList(&VirtualBled112::Frames)},
      {"received_commands", FrameList(&VirtualBled112::ReceivedCommands)},
      {"sent_frames", FrameList(&VirtualBled112::SentFrames)},
      {"clear_frames",
       [](RadioHost& host, const Json&) {
         return OnRadio(host, [](VirtualBled112& radio) -> Json {
           radio.ClearFrames();
           return nullptr;
         });
       }},
      {"on_air",
       [](RadioHost& host, const Json&) {
         return OnRadio(host, [](VirtualBled112& radio) -> Json { return {{"frames", OnAirJson(radio.OnAir())}}; });
       }},
      {"notify",
       [](RadioHost& host, const Json& request) {
         const std::string peripheral = Text(request, "peripheral");
         const std::string characteristic = Text(request, "characteristic");
         const Bytes value = ByteArgument(request, "value");
         try {
           AttUuid::Parse(characteristic);
         } catch (const std::exception& e) {
           throw RequestError("\"characteristic\": " + std::string(e.what()));
         }
         return OnRadio(host, [&](VirtualBled112& radio) -> Json {
           return {{"applied", radio.Notify(peripheral, characteristic, value)}};
         });
       }},
      {"state",
       [](RadioHost& host, const Json&) {
         return OnRadio(host, [](VirtualBled112& radio) -> Json { return {{"state", StateJson(radio.State())}}; });
       }},
      {"dfu",
       [](RadioHost& host, const Json&) {
         return OnRadio(host, [](VirtualBled112& radio) -> Json {
           const DfuImage dfu = radio.Dfu();
           return {{"dfu",
                    {{"address_set", dfu.addressSet},
                     {"start_address", dfu.startAddress},
                     {"bytes", ToHex(dfu.bytes, '\0')},
                     {"blocks", dfu.blocks},
                     {"finished", dfu.finished}}}};
         });
       }},
  };
  return commands;
}

}  // namespace

std::string ControlCommands::Execute(std::string_view line) {
  Json reply;
  Json id;
  try {
    Json request = Json::parse(line);
    if (request.is_object() && request.contains("id")) id = request.at("id");
    reply = Run(request);
  } catch (const Json::exception& e) {
    reply = {{"ok", false}, {"error", std::string("not a JSON request: ") + e.what()}};
  } catch (const std::exception& e) {
    reply = {{"ok", false}, {"error", e.what()}};
  } catch (...) {
    reply = {{"ok", false}, {"error", "unknown failure"}};
  }
  if (!id.is_null()) reply["id"] = id;
  // Replies carry radio bytes as hex, yet a scenario may hold any text: never fail on encoding.
  return reply.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json ControlCommands::Run(const Json& request) {
  if (!request.is_object()) throw RequestError("a request is a JSON object such as {\"cmd\":\"ping\"}");
  if (!request.contains("cmd") || !request.at("cmd").is_string()) throw RequestError("\"cmd\" is missing");
  const std::string name = request.at("cmd").get<std::string>();
  if (name == "help") {
    Json names = Json::array();
    for (const auto& [command, run] : Commands()) names.push_back(command);
    names.push_back("help");
    return {{"ok", true}, {"commands", std::move(names)}};
  }
  const auto command = Commands().find(name);
  if (command == Commands().end()) throw RequestError("unknown command \"" + name + "\" (try {\"cmd\":\"help\"})");
  Json reply = {{"ok", true}};
  Json result = command->second(m_host, request);
  for (auto& [key, value] : result.items()) reply[key] = std::move(value);
  return reply;
}

}  // namespace lumen::sim
