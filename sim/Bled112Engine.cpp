#include "sim/Bled112Engine.h"

#include "sim/BgapiResults.h"

namespace lumen::sim {

namespace {

constexpr uint8_t kNotBonded = 0xFF;

}  // namespace

Bled112Engine::Bled112Engine(const Scenario& scenario, SimClock& clock, Bled112Sink& sink)
    : m_scenario(scenario),
      m_clock(clock),
      m_sink(sink),
      m_environment(scenario.peripherals),
      m_gattDropsLeft(scenario.peripherals.size(), 0),
      m_readsSeen(scenario.peripherals.size()),
      m_advertTimers(scenario.peripherals.size(), 0),
      m_slots(scenario.radio.connectionSlots) {
  for (size_t i = 0; i < scenario.peripherals.size(); ++i) {
    const Peripheral& peripheral = scenario.peripherals[i];
    try {
      m_databases.emplace_back(peripheral.gatt);
    } catch (const ScenarioError& e) {
      throw ScenarioError("peripheral \"" + peripheral.name + "\": " + e.what());
    }
    if (peripheral.disconnectDuringGatt) m_gattDropsLeft[i] = peripheral.disconnectDuringGatt->times;
  }
  std::lock_guard lock(m_mutex);
  ClearRadioState();
}

Bled112Engine::~Bled112Engine() { Stop(); }

void Bled112Engine::Start() {
  std::lock_guard lock(m_mutex);
  if (m_started) return;
  m_started = true;
  for (size_t i = 0; i < m_advertTimers.size(); ++i) ScheduleAdvert(i, m_environment.FirstAdvertisement(i));
}

void Bled112Engine::Stop() {
  std::lock_guard lock(m_mutex);
  for (SimClock::TimerId& id : m_advertTimers) {
    m_clock.Cancel(id);
    id = 0;
  }
  for (Slot& slot : m_slots) {
    m_clock.Cancel(slot.connectTimer);
    for (SimClock::TimerId id : slot.timers) m_clock.Cancel(id);
    slot.connectTimer = 0;
    slot.timers.clear();
  }
  m_clock.Cancel(m_resetTimer);
  m_clock.Cancel(m_bootTimer);
  m_clock.Cancel(m_localAdvertTimer);
  m_resetTimer = m_bootTimer = m_localAdvertTimer = 0;
  m_started = false;
}

void Bled112Engine::Respond(std::string_view name, std::vector<BgapiValue> values) {
  m_sink.Send(EncodeBgapi(BgapiKind::kResponse, name, values));
}

void Bled112Engine::Emit(std::string_view name, std::vector<BgapiValue> values) {
  m_sink.Send(EncodeBgapi(BgapiKind::kEvent, name, values));
}

bool Bled112Engine::IsNeverAnswered(const BgapiMessageDef& command) {
  // The radio restarts instead of answering these.
  return (command.classId == kBgapiClassSystem && (command.messageId == 0 || command.messageId == 20)) ||
         (command.classId == kBgapiClassDfu && (command.messageId == 0 || command.messageId == 5));
}

Bytes Bled112Engine::ResponseWithResult(const BgapiMessage& command, uint16_t result) {
  const BgapiMessageDef* def = FindBgapiMessage(BgapiKind::kResponse, command.def->classId, command.def->messageId);
  if (def == nullptr || IsNeverAnswered(*command.def)) return {};
  std::vector<BgapiValue> values;
  for (const BgapiParam& param : def->params) {
    int echo = command.def->IndexOf(param.name);
    if (param.name == "result") {
      values.emplace_back(static_cast<int64_t>(result));
    } else if (echo >= 0 && command.def->params[static_cast<size_t>(echo)].type == param.type) {
      values.push_back(command.values[static_cast<size_t>(echo)]);
    } else if (param.type == BgapiType::kUint8Array) {
      values.emplace_back(Bytes{});
    } else if (param.type == BgapiType::kBdAddr) {
      values.emplace_back(Bytes(6, 0));
    } else {
      values.emplace_back(int64_t{0});
    }
  }
  return EncodeBgapi(*def, values);
}

void Bled112Engine::RespondDefault(const BgapiMessage& command, uint16_t result) {
  Bytes response = ResponseWithResult(command, result);
  if (!response.empty()) m_sink.Send(std::move(response));
}

void Bled112Engine::HandleCommand(const BgapiMessage& command) {
  std::lock_guard lock(m_mutex);
  const BgapiMessageDef& def = *command.def;
  if (m_mode == RadioSnapshot::Mode::kRebooting) return;
  if (m_mode == RadioSnapshot::Mode::kBootLoader) {
    // The boot loader speaks only the DFU class.
    if (def.classId == kBgapiClassDfu && !HandleDfu(command)) RespondDefault(command, bgapi_result::kNotImplemented);
    return;
  }
  static constexpr std::pair<uint8_t, bool (Bled112Engine::*)(const BgapiMessage&)> kClassHandlers[] = {
      {kBgapiClassSystem, &Bled112Engine::HandleSystem},
      {kBgapiClassConnection, &Bled112Engine::HandleConnection},
      {kBgapiClassAttclient, &Bled112Engine::HandleAttclient},
      {kBgapiClassGap, &Bled112Engine::HandleGap},
      {kBgapiClassHardware, &Bled112Engine::HandleHardware},
      {kBgapiClassDfu, &Bled112Engine::HandleDfu}};
  bool handled = false;
  for (const auto& [classId, handler] : kClassHandlers) {
    if (classId == def.classId) handled = (this->*handler)(command);
  }
  if (!handled) RespondDefault(command, bgapi_result::kNotImplemented);
}

bool Bled112Engine::HandleSystem(const BgapiMessage& command) {
  const FirmwareVersion& firmware = m_scenario.radio.firmware;
  switch (command.def->messageId) {
    case 0:  // reset
      ScheduleReset(0, command.Int("boot_in_dfu") != 0);
      return true;
    case 1:  // hello
      Respond("system_hello", {});
      return true;
    case 2: {  // address_get
      const auto& bytes = m_scenario.radio.address.bytes;
      Respond("system_address_get", {Bytes(bytes.begin(), bytes.end())});
      return true;
    }
    case 6:  // get_connections
      Respond("system_get_connections", {static_cast<int64_t>(m_slots.size())});
      for (size_t i = 0; i < m_slots.size(); ++i) {
        EmitConnectionStatus(static_cast<uint8_t>(i), m_slots[i].state == SlotState::kConnected ? 0x05 : 0x00);
      }
      return true;
    case 8:  // get_info
      Respond("system_get_info",
              {int64_t{firmware.major}, int64_t{firmware.minor}, int64_t{firmware.patch}, int64_t{firmware.build},
               int64_t{firmware.llVersion}, int64_t{firmware.protocolVersion}, int64_t{firmware.hardware}});
      return true;
    case 10:  // whitelist_append
    case 11:  // whitelist_remove
      RespondDefault(command, bgapi_result::kSuccess);
      return true;
    case 12:  // whitelist_clear
      Respond("system_whitelist_clear", {});
      return true;
    case 20:  // delay_reset
      ScheduleReset(static_cast<uint64_t>(command.Int("delay_ms")), command.Int("dfu") != 0);
      return true;
    default:
      return false;
  }
}

bool Bled112Engine::HandleHardware(const BgapiMessage& command) {
  switch (command.def->messageId) {
    case 12:  // set_txpower
      m_setup.txPower = static_cast<uint8_t>(command.Int("power"));
      Respond("hardware_set_txpower", {});
      return true;
    default:
      return false;
  }
}

bool Bled112Engine::HandleDfu(const BgapiMessage& command) {
  bool inBootLoader = m_mode == RadioSnapshot::Mode::kBootLoader;
  switch (command.def->messageId) {
    case 0:  // reset
      ScheduleReset(0, command.Int("dfu") == 1);
      return true;
    case 5:  // delay_reset
      ScheduleReset(static_cast<uint64_t>(command.Int("delay_ms")), command.Int("dfu") == 1);
      return true;
    case 1:  // flash_set_address: starts a new image
      if (!inBootLoader) {
        RespondDefault(command, bgapi_result::kWrongState);
        return true;
      }
      m_dfu = DfuImage{};
      m_dfu.addressSet = true;
      m_dfu.startAddress = static_cast<uint32_t>(command.Int("address"));
      Respond("dfu_flash_set_address", {int64_t{bgapi_result::kSuccess}});
      return true;
    case 2: {  // flash_upload
      if (!inBootLoader || !m_dfu.addressSet || m_dfu.finished) {
        RespondDefault(command, bgapi_result::kWrongState);
        return true;
      }
      const Bytes& data = command.Array("data");
      m_dfu.bytes.insert(m_dfu.bytes.end(), data.begin(), data.end());
      ++m_dfu.blocks;
      Respond("dfu_flash_upload", {int64_t{bgapi_result::kSuccess}});
      return true;
    }
    case 3:  // flash_upload_finish
      if (!inBootLoader || !m_dfu.addressSet) {
        RespondDefault(command, bgapi_result::kWrongState);
        return true;
      }
      m_dfu.finished = true;
      Respond("dfu_flash_upload_finish", {int64_t{bgapi_result::kSuccess}});
      return true;
    default:
      return false;
  }
}

void Bled112Engine::ScheduleReset(uint64_t delayMs, bool toBootLoader) {
  m_clock.Cancel(m_resetTimer);
  m_resetTimer = 0;
  if (delayMs == 0) {
    ResetNow(toBootLoader);
    return;
  }
  m_resetTimer = m_clock.ScheduleAfter(std::chrono::milliseconds(delayMs), [this, toBootLoader](Micros) {
    std::lock_guard lock(m_mutex);
    m_resetTimer = 0;
    ResetNow(toBootLoader);
  });
}

void Bled112Engine::ResetNow(bool toBootLoader) {
  ClearRadioState();
  m_mode = RadioSnapshot::Mode::kRebooting;
  if (m_scenario.radio.variant == DeviceVariant::kDongle) m_sink.Unplug();
  m_clock.Cancel(m_bootTimer);
  m_bootTimer = 0;
  if (m_scenario.radio.bootDelayMs == 0) {
    Boot(toBootLoader);
    return;
  }
  m_bootTimer =
      m_clock.ScheduleAfter(std::chrono::milliseconds(m_scenario.radio.bootDelayMs), [this, toBootLoader](Micros) {
        std::lock_guard lock(m_mutex);
        m_bootTimer = 0;
        Boot(toBootLoader);
      });
}

void Bled112Engine::Boot(bool toBootLoader) {
  if (m_scenario.radio.variant == DeviceVariant::kDongle) m_sink.Plug();
  ++m_boots;
  if (toBootLoader) {
    m_mode = RadioSnapshot::Mode::kBootLoader;
    m_dfu.addressSet = false;
    Emit("dfu_boot", {int64_t{m_scenario.radio.bootloaderVersion}});
    return;
  }
  StartApplication();
}

void Bled112Engine::StartApplication() {
  m_mode = RadioSnapshot::Mode::kApplication;
  const FirmwareVersion& firmware = m_scenario.radio.firmware;
  Emit("system_boot",
       {int64_t{firmware.major}, int64_t{firmware.minor}, int64_t{firmware.patch}, int64_t{firmware.build},
        int64_t{firmware.llVersion}, int64_t{firmware.protocolVersion}, int64_t{firmware.hardware}});
}

void Bled112Engine::PowerCycle() {
  std::lock_guard lock(m_mutex);
  m_clock.Cancel(m_resetTimer);
  m_clock.Cancel(m_bootTimer);
  m_resetTimer = m_bootTimer = 0;
  ClearRadioState();
  ++m_boots;
  StartApplication();
}

void Bled112Engine::ClearRadioState() {
  m_setup = RadioSetup{};
  m_reported.clear();
  for (size_t i = 0; i < m_slots.size(); ++i) EndLink(static_cast<uint8_t>(i), std::nullopt);
  StopLocalAdvertising();
}

void Bled112Engine::EmitConnectionStatus(uint8_t handle, uint8_t flags) {
  const Slot& slot = m_slots.at(handle);
  bool known = slot.state != SlotState::kFree && flags != 0;
  Bytes address = known ? Bytes(slot.address.bytes.begin(), slot.address.bytes.end()) : Bytes(6, 0);
  Emit("connection_status",
       {int64_t{handle}, int64_t{flags}, address, int64_t{known ? static_cast<uint8_t>(slot.addressType) : 0},
        int64_t{known ? slot.intervalUnits : 0}, int64_t{known ? slot.timeoutUnits : 0},
        int64_t{known ? slot.latency : 0}, int64_t{kNotBonded}});
}

void Bled112Engine::SendRadioError() {
  std::lock_guard lock(m_mutex);
  Emit("hardware_radio_error", {});
}

void Bled112Engine::SetSilent(bool silent) {
  std::lock_guard lock(m_mutex);
  m_environment.SetSilent(silent);
}

bool Bled112Engine::DropConnection(uint8_t connection, uint16_t reason) {
  std::lock_guard lock(m_mutex);
  if (ConnectedSlot(connection) == nullptr) return false;
  EndLink(connection, reason);
  return true;
}

bool Bled112Engine::DisconnectDuringNextGattProcedure(uint8_t connection, uint16_t reason) {
  std::lock_guard lock(m_mutex);
  Slot* slot = ConnectedSlot(connection);
  if (slot == nullptr) return false;
  ++slot->gattDrops;
  slot->gattDropReason = reason;
  return true;
}

bool Bled112Engine::Notify(std::string_view peripheral, const AttUuid& characteristic, const Bytes& value) {
  std::lock_guard lock(m_mutex);
  for (size_t i = 0; i < m_slots.size(); ++i) {
    const Slot& slot = m_slots[i];
    if (slot.state != SlotState::kConnected || m_scenario.peripherals[slot.peripheral].name != peripheral) continue;
    auto valueHandle = m_databases[slot.peripheral].ValueHandleOf(characteristic);
    return valueHandle && SendValueUpdate(static_cast<uint8_t>(i), *valueHandle, value);
  }
  return false;
}

RadioSnapshot Bled112Engine::Snapshot() const {
  std::lock_guard lock(m_mutex);
  RadioSnapshot snapshot;
  static_cast<RadioSetup&>(snapshot) = m_setup;
  snapshot.mode = m_mode;
  snapshot.advertising = m_localAdvertTimer != 0;
  snapshot.silent = m_environment.Silent();
  snapshot.resets = m_boots;
  for (size_t i = 0; i < m_slots.size(); ++i) {
    const Slot& slot = m_slots[i];
    if (slot.state == SlotState::kFree) continue;
    ConnectionInfo info;
    info.handle = static_cast<uint8_t>(i);
    info.established = slot.state == SlotState::kConnected;
    if (info.established) info.peripheral = m_scenario.peripherals[slot.peripheral].name;
    info.address = slot.address;
    info.addressType = slot.addressType;
    info.intervalUnits = slot.intervalUnits;
    info.timeoutUnits = slot.timeoutUnits;
    info.latency = slot.latency;
    snapshot.connections.push_back(info);
  }
  return snapshot;
}

std::vector<OnAirFrame> Bled112Engine::OnAir() const {
  std::lock_guard lock(m_mutex);
  return std::vector<OnAirFrame>(m_onAir.begin(), m_onAir.end());
}

DfuImage Bled112Engine::Dfu() const {
  std::lock_guard lock(m_mutex);
  return m_dfu;
}

std::optional<GattDatabase> Bled112Engine::Database(std::string_view peripheral) const {
  std::lock_guard lock(m_mutex);
  for (size_t i = 0; i < m_scenario.peripherals.size(); ++i) {
    if (m_scenario.peripherals[i].name == peripheral) return m_databases[i];
  }
  return std::nullopt;
}

}  // namespace lumen::sim
