// GAP and connection classes of the virtual BLED112: discovery, the peripherals'
// advertisements, links, and the radio's own advertiser.
#include "sim/BgapiResults.h"
#include "sim/Bled112Engine.h"

namespace lumen::sim {

namespace {

// gap_discover modes
enum : uint8_t { kDiscoverLimited = 0, kDiscoverGeneric = 1, kDiscoverObservation = 2 };

// gap_set_mode discoverable modes
namespace discoverable {
enum : uint8_t { kNone = 0, kLimited = 1, kGeneral = 2, kBroadcast = 3, kUserData = 4, kEnhancedBroadcasting = 0x80 };
}  // namespace discoverable

// gap_scan_response packet types
enum : uint8_t { kPacketConnectable = 0, kPacketNonConnectable = 2, kPacketScanResponse = 4, kPacketScannable = 6 };

// AD flags
enum : uint8_t { kFlagLimitedDiscoverable = 0x01, kFlagGeneralDiscoverable = 0x02, kFlagNoBrEdr = 0x04 };

constexpr uint8_t kStatusConnectedCompleted = 0x05;
constexpr uint8_t kStatusParametersChanged = 0x0D;
constexpr size_t kOnAirLimit = 100000;

// The advertising data of the radio's own advertiser: the host's in the broadcast
// modes, only the flags in the limited and general discoverable ones.
Bytes AdvertisedData(const RadioSetup& setup) {
  const uint8_t mode = setup.discoverableMode;
  if (mode == discoverable::kBroadcast || mode == discoverable::kUserData ||
      mode == discoverable::kEnhancedBroadcasting) {
    return setup.advData;
  }
  if (mode == discoverable::kLimited) return {0x02, 0x01, kFlagLimitedDiscoverable | kFlagNoBrEdr};
  if (mode == discoverable::kGeneral) return {0x02, 0x01, kFlagGeneralDiscoverable | kFlagNoBrEdr};
  return {};
}

std::optional<uint8_t> FindFlags(const Bytes& advData) {
  size_t at = 0;
  while (at < advData.size()) {
    size_t length = advData[at];
    if (length == 0 || at + 1 + length > advData.size()) return std::nullopt;
    if (advData[at + 1] == 0x01 && length >= 2) return advData[at + 2];
    at += 1 + length;
  }
  return std::nullopt;
}

bool InRange(int64_t value, int64_t min, int64_t max) { return value >= min && value <= max; }

}  // namespace

bool Bled112Engine::HandleGap(const BgapiMessage& command) {
  switch (command.def->messageId) {
    case 0:  // set_privacy_flags
      Respond("gap_set_privacy_flags", {});
      return true;
    case 1: {  // set_mode
      int64_t discover = command.Int("discover");
      int64_t connect = command.Int("connect");
      if (!(InRange(discover, discoverable::kNone, discoverable::kUserData) ||
            discover == discoverable::kEnhancedBroadcasting) ||
          !InRange(connect, 0, 3)) {
        Respond("gap_set_mode", {int64_t{bgapi_result::kInvalidParameter}});
        return true;
      }
      m_setup.discoverableMode = static_cast<uint8_t>(discover);
      m_setup.connectableMode = static_cast<uint8_t>(connect);
      Respond("gap_set_mode", {int64_t{bgapi_result::kSuccess}});
      if (discover == discoverable::kNone && connect == 0) {
        StopLocalAdvertising();
      } else {
        StartLocalAdvertising();
      }
      return true;
    }
    case 2: {  // discover
      int64_t mode = command.Int("mode");
      if (!InRange(mode, kDiscoverLimited, kDiscoverObservation)) {
        Respond("gap_discover", {int64_t{bgapi_result::kInvalidParameter}});
      } else if (m_setup.discovering || ConnectingSlot()) {
        Respond("gap_discover", {int64_t{bgapi_result::kWrongState}});
      } else {
        m_setup.discovering = true;
        m_setup.discoverMode = static_cast<uint8_t>(mode);
        m_reported.clear();
        Respond("gap_discover", {int64_t{bgapi_result::kSuccess}});
      }
      return true;
    }
    case 3:
      HandleConnectDirect(command);
      return true;
    case 4: {  // end_procedure: ends discovery or a pending connection attempt
      auto connecting = ConnectingSlot();
      if (m_setup.discovering) {
        m_setup.discovering = false;
        Respond("gap_end_procedure", {int64_t{bgapi_result::kSuccess}});
      } else if (connecting) {
        EndLink(*connecting, std::nullopt);
        Respond("gap_end_procedure", {int64_t{bgapi_result::kSuccess}});
      } else {
        Respond("gap_end_procedure", {int64_t{bgapi_result::kWrongState}});
      }
      return true;
    }
    case 6:  // set_filtering
      m_setup.duplicateFiltering = command.Int("scan_duplicate_filtering") != 0;
      Respond("gap_set_filtering", {int64_t{bgapi_result::kSuccess}});
      return true;
    case 7: {  // set_scan_parameters
      int64_t interval = command.Int("scan_interval");
      int64_t window = command.Int("scan_window");
      int64_t active = command.Int("active");
      if (!InRange(interval, 0x4, 0x4000) || !InRange(window, 0x4, 0x4000) || window > interval ||
          !InRange(active, 0, 1)) {
        Respond("gap_set_scan_parameters", {int64_t{bgapi_result::kInvalidParameter}});
        return true;
      }
      m_setup.scanIntervalUnits = static_cast<uint16_t>(interval);
      m_setup.scanWindowUnits = static_cast<uint16_t>(window);
      m_setup.activeScanning = active != 0;
      Respond("gap_set_scan_parameters", {int64_t{bgapi_result::kSuccess}});
      return true;
    }
    case 8: {  // set_adv_parameters
      int64_t min = command.Int("adv_interval_min");
      int64_t max = command.Int("adv_interval_max");
      int64_t channels = command.Int("adv_channels");
      if (!InRange(min, 0x20, 0x4000) || !InRange(max, 0x20, 0x4000) || min > max || !InRange(channels, 1, 7)) {
        Respond("gap_set_adv_parameters", {int64_t{bgapi_result::kInvalidParameter}});
        return true;
      }
      m_setup.advIntervalMinUnits = static_cast<uint16_t>(min);
      m_setup.advIntervalMaxUnits = static_cast<uint16_t>(max);
      m_setup.advChannels = static_cast<uint8_t>(channels);
      Respond("gap_set_adv_parameters", {int64_t{bgapi_result::kSuccess}});
      return true;
    }
    case 9: {  // set_adv_data
      int64_t which = command.Int("set_scanrsp");
      const Bytes& data = command.Array("adv_data");
      if (!InRange(which, 0, 1) || data.size() > 31) {
        Respond("gap_set_adv_data", {int64_t{bgapi_result::kInvalidParameter}});
        return true;
      }
      (which == 0 ? m_setup.advData : m_setup.scanResponseData) = data;
      Respond("gap_set_adv_data", {int64_t{bgapi_result::kSuccess}});
      return true;
    }
    case 11: {  // set_initiating_con_parameters
      int64_t interval = command.Int("scan_interval");
      int64_t window = command.Int("scan_window");
      if (!InRange(interval, 0x4, 0x4000) || !InRange(window, 0x4, 0x4000) || window > interval) {
        Respond("gap_set_initiating_con_parameters", {int64_t{bgapi_result::kInvalidParameter}});
        return true;
      }
      m_setup.initiatingScanIntervalUnits = static_cast<uint16_t>(interval);
      m_setup.initiatingScanWindowUnits = static_cast<uint16_t>(window);
      Respond("gap_set_initiating_con_parameters", {int64_t{bgapi_result::kSuccess}});
      return true;
    }
    default:
      return false;
  }
}

bool Bled112Engine::HandleConnection(const BgapiMessage& command) {
  uint8_t handle = command.def->messageId == 9 ? 0 : static_cast<uint8_t>(command.Int("connection"));
  bool known = handle < m_slots.size() && m_slots[handle].state != SlotState::kFree;
  Slot* connected = ConnectedSlot(handle);
  switch (command.def->messageId) {
    case 0:  // disconnect; also cancels a pending connection attempt
      if (!known) {
        Respond("connection_disconnect", {int64_t{handle}, int64_t{bgapi_result::kNotConnected}});
        return true;
      }
      Respond("connection_disconnect", {int64_t{handle}, int64_t{bgapi_result::kSuccess}});
      EndLink(handle, bgapi_result::kLocalHostTerminated);
      return true;
    case 1: {  // get_rssi
      int64_t rssi = connected ? m_environment.RssiAt(connected->peripheral, m_clock.Now()) : 0;
      Respond("connection_get_rssi", {int64_t{handle}, rssi});
      return true;
    }
    case 2: {  // update
      if (!connected) {
        Respond("connection_update", {int64_t{handle}, int64_t{bgapi_result::kNotConnected}});
        return true;
      }
      int64_t min = command.Int("interval_min");
      int64_t max = command.Int("interval_max");
      int64_t latency = command.Int("latency");
      int64_t timeout = command.Int("timeout");
      if (!InRange(min, 6, 3200) || !InRange(max, 6, 3200) || min > max || !InRange(latency, 0, 500) ||
          !InRange(timeout, 10, 3200)) {
        Respond("connection_update", {int64_t{handle}, int64_t{bgapi_result::kInvalidParameter}});
        return true;
      }
      connected->intervalUnits = static_cast<uint16_t>(max);
      connected->latency = static_cast<uint16_t>(latency);
      connected->timeoutUnits = static_cast<uint16_t>(timeout);
      Respond("connection_update", {int64_t{handle}, int64_t{bgapi_result::kSuccess}});
      EmitConnectionStatus(handle, kStatusParametersChanged);
      return true;
    }
    case 3: {  // version_update
      if (!connected) {
        Respond("connection_version_update", {int64_t{handle}, int64_t{bgapi_result::kNotConnected}});
        return true;
      }
      Respond("connection_version_update", {int64_t{handle}, int64_t{bgapi_result::kSuccess}});
      const auto& version = m_scenario.peripherals[connected->peripheral].versionIndication;
      if (version) {
        Emit("connection_version_ind",
             {int64_t{handle}, int64_t{version->version}, int64_t{version->companyId}, int64_t{version->subversion}});
      }
      return true;
    }
    case 7:  // get_status
      Respond("connection_get_status", {int64_t{handle}});
      if (connected) EmitConnectionStatus(handle, kStatusConnectedCompleted);
      return true;
    default:
      return false;
  }
}

void Bled112Engine::HandleConnectDirect(const BgapiMessage& command) {
  int64_t type = command.Int("addr_type");
  int64_t min = command.Int("conn_interval_min");
  int64_t max = command.Int("conn_interval_max");
  int64_t timeout = command.Int("timeout");
  int64_t latency = command.Int("latency");
  if (!InRange(type, 0, 1) || !InRange(min, 6, 3200) || !InRange(max, 6, 3200) || min > max ||
      !InRange(timeout, 10, 3200) || !InRange(latency, 0, 500)) {
    Respond("gap_connect_direct", {int64_t{bgapi_result::kInvalidParameter}, int64_t{0}});
    return;
  }
  if (m_setup.discovering || ConnectingSlot()) {
    Respond("gap_connect_direct", {int64_t{bgapi_result::kWrongState}, int64_t{0}});
    return;
  }
  size_t free = 0;
  while (free < m_slots.size() && m_slots[free].state != SlotState::kFree) ++free;
  if (free == m_slots.size()) {
    Respond("gap_connect_direct", {int64_t{bgapi_result::kConnectionLimitExceeded}, int64_t{0}});
    return;
  }
  Slot& slot = m_slots[free];
  slot = Slot{};
  slot.state = SlotState::kConnecting;
  slot.address = command.Address("address");
  slot.addressType = static_cast<AddressType>(type);
  slot.intervalUnits = static_cast<uint16_t>(max);
  slot.timeoutUnits = static_cast<uint16_t>(timeout);
  slot.latency = static_cast<uint16_t>(latency);
  slot.link = m_nextLink++;
  uint8_t handle = static_cast<uint8_t>(free);
  Respond("gap_connect_direct", {int64_t{bgapi_result::kSuccess}, int64_t{handle}});
  TryConnect(handle, m_clock.Now());
}

std::optional<uint8_t> Bled112Engine::ConnectingSlot() const {
  for (size_t i = 0; i < m_slots.size(); ++i) {
    if (m_slots[i].state == SlotState::kConnecting) return static_cast<uint8_t>(i);
  }
  return std::nullopt;
}

Bled112Engine::Slot* Bled112Engine::ConnectedSlot(uint8_t handle) {
  if (handle >= m_slots.size() || m_slots[handle].state != SlotState::kConnected) return nullptr;
  return &m_slots[handle];
}

void Bled112Engine::TryConnect(uint8_t handle, Micros at) {
  Slot& slot = m_slots.at(handle);
  if (slot.state != SlotState::kConnecting || slot.connectTimer != 0) return;
  auto peripheral = m_environment.FindConnectable(slot.address, slot.addressType, at);
  if (!peripheral) return;  // stays pending until the peer shows up or the host gives up
  uint64_t delayMs = m_scenario.peripherals[*peripheral].connectDelayMs;
  if (delayMs == 0) {
    Establish(handle, *peripheral);
    return;
  }
  uint64_t link = slot.link;
  slot.connectTimer = m_clock.ScheduleAt(at + std::chrono::milliseconds(delayMs), [this, handle, link](Micros due) {
    std::lock_guard lock(m_mutex);
    Slot& pending = m_slots[handle];
    if (pending.link != link || pending.state != SlotState::kConnecting) return;
    pending.connectTimer = 0;
    auto found = m_environment.FindConnectable(pending.address, pending.addressType, due);
    if (found) Establish(handle, *found);
  });
}

void Bled112Engine::Establish(uint8_t handle, size_t peripheral) {
  Slot& slot = m_slots.at(handle);
  slot.state = SlotState::kConnected;
  slot.peripheral = peripheral;
  m_environment.SetConnected(peripheral, true);
  EmitConnectionStatus(handle, kStatusConnectedCompleted);
  const Peripheral& p = m_scenario.peripherals[peripheral];
  if (p.versionIndication) {
    Emit("connection_version_ind", {int64_t{handle}, int64_t{p.versionIndication->version},
                                    int64_t{p.versionIndication->companyId}, int64_t{p.versionIndication->subversion}});
  }
  Micros now = m_clock.Now();
  if (p.disconnectAfterConnect) {
    uint16_t reason = p.disconnectAfterConnect->reason;
    AddLinkTimer(handle, now + std::chrono::milliseconds(p.disconnectAfterConnect->afterMs),
                 [this, handle, reason] { EndLink(handle, reason); });
  }
  if (p.presentUntilMs) {
    // Out of range: the link is lost to a supervision time-out.
    AddLinkTimer(handle, std::chrono::milliseconds(*p.presentUntilMs),
                 [this, handle] { EndLink(handle, bgapi_result::kConnectionTimeout); });
  }
}

void Bled112Engine::AddLinkTimer(uint8_t handle, Micros at, std::function<void()> action) {
  Slot& slot = m_slots.at(handle);
  uint64_t link = slot.link;
  slot.timers.push_back(m_clock.ScheduleAt(at, [this, handle, link, action = std::move(action)](Micros) {
    std::lock_guard lock(m_mutex);
    const Slot& current = m_slots[handle];
    if (current.link == link && current.state == SlotState::kConnected) action();
  }));
}

void Bled112Engine::EndLink(uint8_t handle, std::optional<uint16_t> reason) {
  Slot& slot = m_slots.at(handle);
  if (slot.state == SlotState::kFree) return;
  if (slot.state == SlotState::kConnected) {
    m_environment.SetConnected(slot.peripheral, false);
    m_databases[slot.peripheral].ResetConfigurations();
  }
  m_clock.Cancel(slot.connectTimer);
  for (SimClock::TimerId id : slot.timers) m_clock.Cancel(id);
  slot = Slot{};
  if (reason) Emit("connection_disconnected", {int64_t{handle}, int64_t{*reason}});
}

void Bled112Engine::ScheduleAdvert(size_t peripheral, Micros at) {
  m_advertTimers[peripheral] =
      m_clock.ScheduleAt(at, [this, peripheral](Micros due) { OnPeripheralAdvert(peripheral, due); });
}

void Bled112Engine::OnPeripheralAdvert(size_t peripheral, Micros due) {
  std::lock_guard lock(m_mutex);
  if (!m_started) return;
  ScheduleAdvert(peripheral, m_environment.NextAdvertisement(peripheral, due));
  auto report = m_environment.Advertise(peripheral, due);
  if (!report || m_mode != RadioSnapshot::Mode::kApplication) return;

  auto connecting = ConnectingSlot();
  if (connecting && report->pdu == AdvertisingReport::Pdu::kConnectable) TryConnect(*connecting, due);

  if (!m_setup.discovering || !PassesDiscoveryFilter(*report)) return;
  uint8_t packetType = report->pdu == AdvertisingReport::Pdu::kConnectable ? kPacketConnectable
                       : report->pdu == AdvertisingReport::Pdu::kScannable ? kPacketScannable
                                                                           : kPacketNonConnectable;
  EmitScanResponse(*report, packetType, report->advData);
  if (m_setup.activeScanning && !report->scanResponse.empty()) {
    EmitScanResponse(*report, kPacketScanResponse, report->scanResponse);
  }
}

bool Bled112Engine::PassesDiscoveryFilter(const AdvertisingReport& report) const {
  if (m_setup.discoverMode == kDiscoverObservation) return true;
  auto flags = FindFlags(report.advData);
  if (!flags) return false;
  uint8_t wanted = m_setup.discoverMode == kDiscoverGeneric ? (kFlagLimitedDiscoverable | kFlagGeneralDiscoverable)
                                                            : kFlagLimitedDiscoverable;
  return (*flags & wanted) != 0;
}

void Bled112Engine::EmitScanResponse(const AdvertisingReport& report, uint8_t packetType, const Bytes& data) {
  if (m_setup.duplicateFiltering && !m_reported.insert({report.address, packetType}).second) return;
  Emit("gap_scan_response",
       {int64_t{report.rssiDbm}, int64_t{packetType}, Bytes(report.address.bytes.begin(), report.address.bytes.end()),
        int64_t{static_cast<uint8_t>(report.addressType)}, int64_t{0xFF}, data});
}

Bled112Engine::Micros Bled112Engine::LocalAdvertInterval() const {
  return Micros(int64_t{m_setup.advIntervalMinUnits} * 625);
}

void Bled112Engine::StartLocalAdvertising() {
  if (m_localAdvertTimer != 0) return;
  Micros now = m_clock.Now();
  ++m_localAdvertRun;
  RecordOnAir(now);
  ScheduleLocalAdvert(now + LocalAdvertInterval());
}

void Bled112Engine::ScheduleLocalAdvert(Micros at) {
  uint64_t run = m_localAdvertRun;
  m_localAdvertTimer = m_clock.ScheduleAt(at, [this, run](Micros due) {
    std::lock_guard lock(m_mutex);
    if (run != m_localAdvertRun) return;
    RecordOnAir(due);
    // The interval in force now applies to the next event.
    ScheduleLocalAdvert(due + LocalAdvertInterval());
  });
}

void Bled112Engine::StopLocalAdvertising() {
  m_clock.Cancel(m_localAdvertTimer);
  m_localAdvertTimer = 0;
  ++m_localAdvertRun;
}

void Bled112Engine::RecordOnAir(Micros at) {
  m_onAir.push_back({.time = at,
                     .advData = AdvertisedData(m_setup),
                     .scanResponse = m_setup.scanResponseData,
                     .discoverableMode = m_setup.discoverableMode,
                     .connectableMode = m_setup.connectableMode,
                     .intervalMinUnits = m_setup.advIntervalMinUnits,
                     .intervalMaxUnits = m_setup.advIntervalMaxUnits,
                     .channels = m_setup.advChannels});
  while (m_onAir.size() > kOnAirLimit) m_onAir.pop_front();
}

}  // namespace lumen::sim
