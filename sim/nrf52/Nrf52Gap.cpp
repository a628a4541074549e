// GAP side of the virtual nRF52 board: the scanner and the peripherals'
// advertisements, links and the requests peers send on them, and the board's
// own advertising set.
#include <algorithm>
#include <cstring>

#include "sim/nrf52/Nrf52Board.h"
#include "sim/nrf52/Nrf52Events.h"

namespace lumen::sim {

using namespace nrf52;

namespace {

// The SoftDevice samples a link's RSSI once per connection event.
constexpr auto kConnIntervalUnit = std::chrono::microseconds(1250);
// A peer gives up on a link-layer procedure after 40 s, on an ATT transaction after 30 s.
constexpr auto kLinkLayerResponseTimeout = std::chrono::seconds(40);
constexpr auto kAttTransactionTimeout = std::chrono::seconds(30);

constexpr uint16_t kPeerMinInterval = 24;
constexpr uint16_t kPeerMaxInterval = 40;
constexpr uint16_t kPeerSupervisionTimeout = 500;
constexpr uint16_t kMaxDataOctets = 251;
constexpr uint16_t kMaxDataTimeUs = 2120;
constexpr uint16_t kDefaultDataOctets = 27;
constexpr uint16_t kDefaultDataTimeUs = 328;

bool ValidConnParams(const ble_gap_conn_params_t& p) {
  return p.min_conn_interval >= 6 && p.max_conn_interval <= 3200 && p.min_conn_interval <= p.max_conn_interval &&
         p.slave_latency <= 499 && p.conn_sup_timeout >= 10 && p.conn_sup_timeout <= 3200;
}

bool ValidScanParams(const ble_gap_scan_params_t& p) {
  return p.interval >= 4 && p.interval <= 0x4000 && p.window >= 4 && p.window <= p.interval;
}

// A random address must carry the sub-type it is given as in its two most
// significant bits; a public one may hold any bits.
bool ValidPeerAddr(const ble_gap_addr_t& peer) {
  const unsigned topBits = peer.addr[BLE_GAP_ADDR_LEN - 1] >> 6;
  switch (peer.addr_type) {
    case BLE_GAP_ADDR_TYPE_PUBLIC:
      return true;
    case BLE_GAP_ADDR_TYPE_RANDOM_STATIC:
      return topBits == 0x3;
    case BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE:
      return topBits == 0x1;
    case BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_NON_RESOLVABLE:
      return topBits == 0x0;
    default:
      return false;
  }
}

bool AcceptedTxPower(int8_t dbm) {
  static constexpr int8_t kLevels[] = {-40, -20, -16, -12, -8, -4, 0, 2, 3, 4, 5, 6, 7, 8};
  return std::find(std::begin(kLevels), std::end(kLevels), dbm) != std::end(kLevels);
}

uint16_t Mtu(uint16_t a, uint16_t b) { return std::max<uint16_t>(BLE_GATT_ATT_MTU_DEFAULT, std::min(a, b)); }

Nrf52PeerRequest ToPeerRequest(ConnectRequest request) {
  switch (request) {
    case ConnectRequest::kConnParamUpdate:
      return Nrf52PeerRequest::kConnParamUpdate;
    case ConnectRequest::kDataLengthUpdate:
      return Nrf52PeerRequest::kDataLengthUpdate;
    case ConnectRequest::kPhyUpdate:
      return Nrf52PeerRequest::kPhyUpdate;
    case ConnectRequest::kMtuExchange:
      return Nrf52PeerRequest::kMtuExchange;
    case ConnectRequest::kSysAttrMissing:
      return Nrf52PeerRequest::kSysAttrMissing;
    case ConnectRequest::kUserMemRequest:
      break;
  }
  return Nrf52PeerRequest::kUserMemRequest;
}

}  // namespace

// ---------------------------------------------------------------------------
// Scanner

void Nrf52Board::RegisterReportBuffer() {
  // The driver's pool of eight report buffers; the ninth registration writes
  // past it in the real driver.
  if (m_slotsInUse >= 8) {
    m_poolOverflowed = true;
    return;
  }
  ++m_slotsInUse;
}

void Nrf52Board::ReleaseReportBuffer() {
  if (m_slotsInUse > 0) --m_slotsInUse;
}

void Nrf52Board::StopScanner() {
  m_scanner = Nrf52ScannerState::kStopped;
  m_clock->Cancel(m_scanTimeoutTimer);
  m_scanTimeoutTimer = 0;
  ++m_scanRun;
  m_pendingScanResponse.reset();
}

uint32_t Nrf52Board::ScanStart(const ble_gap_scan_params_t* params, const ble_data_t* buffer) {
  auto refuse = [this](uint32_t code) {
    ++m_scanStartsRefused;
    return code;
  };
  // Without a buffer there is nothing for the driver to register.
  if (buffer == nullptr || buffer->p_data == nullptr) return refuse(NRF_ERROR_INVALID_ADDR);
  RegisterReportBuffer();
  if (!m_enabled) return refuse(BLE_ERROR_NOT_ENABLED);
  if (params != nullptr) {
    if (m_scanner != Nrf52ScannerState::kStopped) return refuse(NRF_ERROR_INVALID_STATE);
  } else if (m_scanner != Nrf52ScannerState::kPaused) {
    return refuse(NRF_ERROR_INVALID_STATE);
  }
  if (buffer->len < BLE_GAP_SCAN_BUFFER_MIN) return refuse(NRF_ERROR_INVALID_LENGTH);
  m_reportBuffer = buffer->p_data;
  m_reportBufferLength = buffer->len;
  if (params == nullptr) {
    m_scanner = Nrf52ScannerState::kRunning;
    if (m_pendingScanResponse) {
      // The answer to the scan request made for the last report.
      AdvertisingReport report = *m_pendingScanResponse;
      m_pendingScanResponse.reset();
      EmitReport(report, true);
    }
    return NRF_SUCCESS;
  }
  if (params->extended) return refuse(NRF_ERROR_NOT_SUPPORTED);
  if (!ValidScanParams(*params)) return refuse(NRF_ERROR_INVALID_PARAM);
  m_scanner = Nrf52ScannerState::kRunning;
  m_activeScanning = params->active != 0;
  m_scanInterval = params->interval;
  m_scanWindow = params->window;
  m_pendingScanResponse.reset();
  uint64_t run = ++m_scanRun;
  if (params->timeout != 0) {
    m_scanTimeoutTimer =
        m_clock->ScheduleAfter(std::chrono::milliseconds(params->timeout * 10ull), [this, run](Micros) {
          std::lock_guard lock(m_mutex);
          if (!m_running || run != m_scanRun || m_scanner == Nrf52ScannerState::kStopped) return;
          m_scanTimeoutTimer = 0;
          StopScanner();
          ReleaseReportBuffer();
          Bytes event = NewEvent(BLE_GAP_EVT_TIMEOUT);
          ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
          gap.conn_handle = BLE_CONN_HANDLE_INVALID;
          gap.params.timeout.src = BLE_GAP_TIMEOUT_SRC_SCAN;
          gap.params.timeout.params.adv_report_buffer.p_data = m_reportBuffer;
          gap.params.timeout.params.adv_report_buffer.len = m_reportBufferLength;
          Emit(std::move(event));
        });
  }
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::ScanStop() {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  if (m_scanner == Nrf52ScannerState::kStopped) return NRF_ERROR_INVALID_STATE;
  StopScanner();
  ReleaseReportBuffer();
  ++m_bufferGeneration;
  return NRF_SUCCESS;
}

void Nrf52Board::ScheduleAdvert(size_t peripheral, Micros at) {
  m_advertTimers[peripheral] =
      m_clock->ScheduleAt(at, [this, peripheral](Micros due) { OnPeripheralAdvert(peripheral, due); });
}

void Nrf52Board::OnPeripheralAdvert(size_t peripheral, Micros due) {
  std::lock_guard lock(m_mutex);
  if (!m_running) return;
  ScheduleAdvert(peripheral, m_environment.NextAdvertisement(peripheral, due));
  auto report = m_environment.Advertise(peripheral, due);
  if (!report) return;
  if (m_connecting && report->pdu == AdvertisingReport::Pdu::kConnectable) TryConnect(due);
  if (m_scanner != Nrf52ScannerState::kRunning) return;  // paused: this one is missed
  EmitReport(*report, false);
  bool scannable = report->pdu != AdvertisingReport::Pdu::kNonConnectable;
  if (m_activeScanning && scannable && !report->scanResponse.empty()) m_pendingScanResponse = *report;
}

void Nrf52Board::EmitReport(const AdvertisingReport& report, bool scanResponse) {
  const Bytes& data = scanResponse ? report.scanResponse : report.advData;
  Bytes event = NewEvent(BLE_GAP_EVT_ADV_REPORT);
  ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
  gap.conn_handle = BLE_CONN_HANDLE_INVALID;
  ble_gap_evt_adv_report_t& adv = gap.params.adv_report;
  adv.type.connectable = report.pdu == AdvertisingReport::Pdu::kConnectable ? 1 : 0;
  adv.type.scannable = report.pdu != AdvertisingReport::Pdu::kNonConnectable ? 1 : 0;
  adv.type.scan_response = scanResponse ? 1 : 0;
  adv.type.status = BLE_GAP_ADV_DATA_STATUS_COMPLETE;
  FillAddr(adv.peer_addr, report.address, report.addressType);
  adv.primary_phy = BLE_GAP_PHY_1MBPS;
  adv.secondary_phy = BLE_GAP_PHY_NOT_SET;
  adv.tx_power = BLE_GAP_POWER_LEVEL_INVALID;
  adv.rssi = ClampDbm(report.rssiDbm);
  adv.ch_index = m_advChannel;
  m_advChannel = m_advChannel == 39 ? 37 : static_cast<uint8_t>(m_advChannel + 1);
  adv.set_id = BLE_GAP_ADV_REPORT_SET_ID_NOT_AVAILABLE;
  // Legacy PDUs carry at most 31 bytes; the buffer takes what its declared
  // length allows and the report says when that was not all.
  const size_t onAir = std::min<size_t>(data.size(), BLE_GAP_ADV_SET_DATA_SIZE_MAX);
  const size_t length = std::min<size_t>(onAir, m_reportBufferLength);
  if (length < onAir) adv.type.status = BLE_GAP_ADV_DATA_STATUS_INCOMPLETE_TRUNCATED;
  adv.data.len = static_cast<uint16_t>(length);
  m_scanner = Nrf52ScannerState::kPaused;
  ReleaseReportBuffer();
  uint8_t* target = m_reportBuffer;
  uint64_t generation = m_bufferGeneration;
  Bytes copy(data.begin(), data.begin() + static_cast<long>(length));
  // The driver writes the data into the application's buffer as it decodes
  // the event; after a stop the buffer is no longer known (p_data NULL).
  Emit(std::move(event), [this, target, generation, copy = std::move(copy)](uint8_t* buffer) {
    auto* evt = reinterpret_cast<ble_evt_t*>(buffer);
    bool known;
    {
      std::lock_guard lock(m_mutex);
      known = generation == m_bufferGeneration;
    }
    ble_data_t& out = evt->evt.gap_evt.params.adv_report.data;
    if (!known || target == nullptr) {
      out.p_data = nullptr;
      return;
    }
    if (!copy.empty()) std::memcpy(target, copy.data(), copy.size());
    out.p_data = target;
  });
}

// ---------------------------------------------------------------------------
// Connections

Nrf52Board::Link* Nrf52Board::FindLink(uint16_t handle) {
  auto found = m_links.find(handle);
  return found == m_links.end() ? nullptr : &found->second;
}

const Nrf52Board::Link* Nrf52Board::FindLink(uint16_t handle) const {
  auto found = m_links.find(handle);
  return found == m_links.end() ? nullptr : &found->second;
}

bool Nrf52Board::TagKnown(uint8_t tag) const { return tag == BLE_CONN_CFG_TAG_DEFAULT || m_tags.count(tag) != 0; }

uint32_t Nrf52Board::ConnCountLimit(uint8_t tag) const {
  auto found = m_tags.find(tag);
  uint32_t perTag =
      found != m_tags.end() && found->second.connCount ? *found->second.connCount : BLE_GAP_CONN_COUNT_DEFAULT;
  return perTag;
}

uint32_t Nrf52Board::Connect(const ble_gap_addr_t* peer, const ble_gap_scan_params_t* scan,
                             const ble_gap_conn_params_t* conn, uint8_t tag) {
  // Whatever the outcome, the scanner stops.
  StopScanner();
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  if (peer == nullptr || scan == nullptr || conn == nullptr) return NRF_ERROR_INVALID_ADDR;
  if (!ValidPeerAddr(*peer)) return kErrorGapInvalidBleAddr;
  if (!ValidScanParams(*scan) || !ValidConnParams(*conn)) return NRF_ERROR_INVALID_PARAM;
  if (!TagKnown(tag)) return NRF_ERROR_NOT_FOUND;
  if (m_connecting) return NRF_ERROR_INVALID_STATE;
  size_t sameTag = 0;
  for (const auto& [handle, link] : m_links) sameTag += link.tag == tag ? 1 : 0;
  uint32_t central = m_configuration.centralRoleCount.value_or(BLE_GAP_ROLE_COUNT_CENTRAL_DEFAULT);
  if (m_links.size() >= central || sameTag >= ConnCountLimit(tag)) return NRF_ERROR_CONN_COUNT;

  PendingConnect pending;
  pending.id = m_nextLinkId++;
  std::copy(std::begin(peer->addr), std::end(peer->addr), pending.address.bytes.begin());
  pending.hostType = peer->addr_type;
  pending.type = peer->addr_type == BLE_GAP_ADDR_TYPE_PUBLIC ? AddressType::kPublic : AddressType::kRandom;
  pending.params = *conn;
  pending.tag = tag;
  m_connecting = pending;
  if (scan->timeout != 0) {
    uint64_t id = pending.id;
    m_connecting->timeoutTimer =
        m_clock->ScheduleAfter(std::chrono::milliseconds(scan->timeout * 10ull), [this, id](Micros) {
          std::lock_guard lock(m_mutex);
          if (!m_running || !m_connecting || m_connecting->id != id) return;
          m_clock->Cancel(m_connecting->connectTimer);
          m_connecting.reset();
          Bytes event = NewEvent(BLE_GAP_EVT_TIMEOUT);
          ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
          gap.conn_handle = BLE_CONN_HANDLE_INVALID;
          gap.params.timeout.src = BLE_GAP_TIMEOUT_SRC_CONN;
          Emit(std::move(event));
        });
  }
  TryConnect(m_clock->Now());
  return NRF_SUCCESS;
}

void Nrf52Board::TryConnect(Micros at) {
  if (!m_connecting || m_connecting->connectTimer != 0) return;
  auto peripheral = m_environment.FindConnectable(m_connecting->address, m_connecting->type, at);
  if (!peripheral) return;  // pending until the peer shows up or the attempt times out
  uint64_t delayMs = m_scenario.peripherals[*peripheral].connectDelayMs;
  if (delayMs == 0) {
    Establish(*peripheral);
    return;
  }
  uint64_t id = m_connecting->id;
  m_connecting->connectTimer = m_clock->ScheduleAt(at + std::chrono::milliseconds(delayMs), [this, id](Micros due) {
    std::lock_guard lock(m_mutex);
    if (!m_running || !m_connecting || m_connecting->id != id) return;
    m_connecting->connectTimer = 0;
    auto found = m_environment.FindConnectable(m_connecting->address, m_connecting->type, due);
    if (found) Establish(*found);
  });
}

void Nrf52Board::Establish(size_t peripheral) {
  PendingConnect pending = *m_connecting;
  m_clock->Cancel(pending.timeoutTimer);
  m_clock->Cancel(pending.connectTimer);
  m_connecting.reset();

  uint16_t handle = 0;
  while (m_links.count(handle) != 0) ++handle;
  Link& link = m_links[handle];
  link.handle = handle;
  link.id = pending.id;
  link.peripheral = peripheral;
  link.address = pending.address;
  link.hostAddrType = pending.hostType;
  link.params = pending.params;
  link.tag = pending.tag;
  auto tag = m_tags.find(pending.tag);
  if (tag != m_tags.end()) {
    link.maxMtu = tag->second.attMtu.value_or(BLE_GATT_ATT_MTU_DEFAULT);
    link.writeCmdQueue = tag->second.writeCmdQueue.value_or(1);
  }
  m_environment.SetConnected(peripheral, true);

  const Peripheral& p = m_scenario.peripherals[peripheral];
  Bytes event = NewEvent(BLE_GAP_EVT_CONNECTED);
  ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
  gap.conn_handle = handle;
  ble_gap_evt_connected_t& connected = gap.params.connected;
  FillAddr(connected.peer_addr, p.AddressAt(m_clock->NowMs()), p.addressType);
  connected.role = BLE_GAP_ROLE_CENTRAL;
  connected.conn_params = pending.params;
  connected.conn_params.min_conn_interval = pending.params.max_conn_interval;
  connected.adv_handle = BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  Emit(std::move(event));

  Micros now = m_clock->Now();
  if (p.disconnectAfterConnect) {
    auto reason = static_cast<uint8_t>(p.disconnectAfterConnect->reason & 0xFF);
    AddLinkTimer(link, now + std::chrono::milliseconds(p.disconnectAfterConnect->afterMs),
                 [this, reason](Link& l) { EndLink(l.handle, reason); });
  }
  if (p.presentUntilMs) {
    // Out of range: the link is lost to a supervision time-out.
    AddLinkTimer(link, std::chrono::milliseconds(*p.presentUntilMs),
                 [this](Link& l) { EndLink(l.handle, BLE_HCI_CONNECTION_TIMEOUT); });
  }
  if (p.requestsOnConnect) {
    for (ConnectRequest request : *p.requestsOnConnect) SendRequest(link, ToPeerRequest(request));
  } else {
    for (Nrf52PeerRequest request : {Nrf52PeerRequest::kConnParamUpdate, Nrf52PeerRequest::kDataLengthUpdate,
                                     Nrf52PeerRequest::kPhyUpdate, Nrf52PeerRequest::kMtuExchange}) {
      SendRequest(link, request);
    }
  }
}

void Nrf52Board::AddLinkTimer(Link& link, Micros at, std::function<void(Link&)> action) {
  uint16_t handle = link.handle;
  uint64_t id = link.id;
  link.timers.push_back(m_clock->ScheduleAt(at, [this, handle, id, action = std::move(action)](Micros) {
    std::lock_guard lock(m_mutex);
    Link* current = FindLink(handle);
    if (m_running && current != nullptr && current->id == id) action(*current);
  }));
}

void Nrf52Board::CancelLinkTimers(Link& link) {
  for (SimClock::TimerId id : link.timers) m_clock->Cancel(id);
  for (const auto& [request, id] : link.requestTimers) m_clock->Cancel(id);
  m_clock->Cancel(link.rssiTimer);
  m_clock->Cancel(link.indicationTimer);
  link.timers.clear();
  link.requestTimers.clear();
}

void Nrf52Board::EndLink(uint16_t handle, std::optional<uint8_t> reason) {
  Link* link = FindLink(handle);
  if (link == nullptr) return;
  // A link the central is closing ends with the event already on its way.
  if (link->disconnecting && reason) return;
  CancelLinkTimers(*link);
  m_environment.SetConnected(link->peripheral, false);
  m_databases[link->peripheral].ResetConfigurations();
  m_links.erase(handle);
  if (!reason) return;
  Bytes event = NewEvent(BLE_GAP_EVT_DISCONNECTED);
  ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
  gap.conn_handle = handle;
  gap.params.disconnected.reason = *reason;
  Emit(std::move(event));
}

uint32_t Nrf52Board::ConnectCancel() {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  if (!m_connecting) return NRF_ERROR_INVALID_STATE;
  m_clock->Cancel(m_connecting->connectTimer);
  m_clock->Cancel(m_connecting->timeoutTimer);
  m_connecting.reset();
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::Disconnect(uint16_t conn, uint8_t hciStatus) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  Link* link = FindLink(conn);
  if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (link->disconnecting) return NRF_ERROR_INVALID_STATE;
  if (hciStatus != BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION && hciStatus != BLE_HCI_CONN_INTERVAL_UNACCEPTABLE) {
    return NRF_ERROR_INVALID_PARAM;
  }
  BeginDisconnect(*link, BLE_HCI_LOCAL_HOST_TERMINATED_CONNECTION);
  return NRF_SUCCESS;
}

void Nrf52Board::BeginDisconnect(Link& link, uint8_t reason) {
  CancelLinkTimers(link);
  link.disconnecting = true;
  link.rssiOn = false;
  const uint16_t handle = link.handle;
  const uint64_t id = link.id;
  Bytes event = NewEvent(BLE_GAP_EVT_DISCONNECTED);
  ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
  gap.conn_handle = handle;
  gap.params.disconnected.reason = reason;
  Emit(std::move(event), [this, handle, id](uint8_t*) {
    std::lock_guard lock(m_mutex);
    const Link* current = FindLink(handle);
    if (current != nullptr && current->id == id) EndLink(handle, std::nullopt);
  });
}

void Nrf52Board::EmitProcedureCompletion(Link& link, Bytes event) {
  link.procedureRunning = true;
  const uint16_t handle = link.handle;
  const uint64_t id = link.id;
  Emit(std::move(event), [this, handle, id](uint8_t*) {
    std::lock_guard lock(m_mutex);
    Link* current = FindLink(handle);
    if (current != nullptr && current->id == id) current->procedureRunning = false;
  });
}

// ---------------------------------------------------------------------------
// Peer requests and their replies

void Nrf52Board::SendRequest(Link& link, Nrf52PeerRequest request) {
  if (std::find(link.unanswered.begin(), link.unanswered.end(), request) != link.unanswered.end()) return;
  Bytes event;
  std::optional<std::chrono::seconds> timeout;
  uint8_t dropReason = BLE_HCI_STATUS_CODE_LMP_RESPONSE_TIMEOUT;
  // A link-layer request: the peer drops the link unless it is answered in time.
  const auto linkLayerRequest = [&](uint16_t id) -> auto& {
    event = NewEvent(id);
    ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
    gap.conn_handle = link.handle;
    timeout = kLinkLayerResponseTimeout;
    return gap.params;
  };
  switch (request) {
    case Nrf52PeerRequest::kConnParamUpdate:
      linkLayerRequest(BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST).conn_param_update_request.conn_params = {
          kPeerMinInterval, kPeerMaxInterval, 0, kPeerSupervisionTimeout};
      break;
    case Nrf52PeerRequest::kDataLengthUpdate:
      linkLayerRequest(BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST).data_length_update_request.peer_params = {
          kMaxDataOctets, kMaxDataOctets, kMaxDataTimeUs, kMaxDataTimeUs};
      break;
    case Nrf52PeerRequest::kPhyUpdate:
      linkLayerRequest(BLE_GAP_EVT_PHY_UPDATE_REQUEST).phy_update_request.peer_preferred_phys = {BLE_GAP_PHY_2MBPS,
                                                                                                 BLE_GAP_PHY_2MBPS};
      break;
    case Nrf52PeerRequest::kMtuExchange: {
      event = NewEvent(BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST);
      ble_gatts_evt_t& gatts = EventOf(event)->evt.gatts_evt;
      gatts.conn_handle = link.handle;
      gatts.params.exchange_mtu_request.client_rx_mtu = kPeerMtu;
      timeout = kAttTransactionTimeout;
      dropReason = BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION;
      break;
    }
    case Nrf52PeerRequest::kSysAttrMissing: {
      event = NewEvent(BLE_GATTS_EVT_SYS_ATTR_MISSING);
      ble_gatts_evt_t& gatts = EventOf(event)->evt.gatts_evt;
      gatts.conn_handle = link.handle;
      gatts.params.sys_attr_missing.hint = 0;
      break;
    }
    case Nrf52PeerRequest::kUserMemRequest: {
      event = NewEvent(BLE_EVT_USER_MEM_REQUEST);
      ble_common_evt_t& common = EventOf(event)->evt.common_evt;
      common.conn_handle = link.handle;
      common.params.user_mem_request.type = 1;  // BLE_USER_MEM_TYPE_GATTS_QUEUED_WRITES
      break;
    }
  }
  link.unanswered.push_back(request);
  Emit(std::move(event));
  if (!timeout) return;
  uint16_t handle = link.handle;
  uint64_t id = link.id;
  link.requestTimers[request] = m_clock->ScheduleAfter(*timeout, [this, handle, id, request, dropReason](Micros) {
    std::lock_guard lock(m_mutex);
    Link* current = FindLink(handle);
    if (!m_running || current == nullptr || current->id != id) return;
    current->requestTimers.erase(request);
    auto& waiting = current->unanswered;
    if (std::find(waiting.begin(), waiting.end(), request) == waiting.end()) return;
    EndLink(handle, dropReason);
  });
}

bool Nrf52Board::Answer(Link& link, Nrf52PeerRequest request) {
  auto found = std::find(link.unanswered.begin(), link.unanswered.end(), request);
  if (found == link.unanswered.end()) return false;
  link.unanswered.erase(found);
  link.answered.push_back(request);
  auto timer = link.requestTimers.find(request);
  if (timer != link.requestTimers.end()) {
    m_clock->Cancel(timer->second);
    link.requestTimers.erase(timer);
  }
  return true;
}

Nrf52Board::Link* Nrf52Board::AnswerWithProcedure(uint16_t conn, Nrf52PeerRequest request, uint32_t& result) {
  Link* link = FindLink(conn);
  result = [&]() -> uint32_t {
    if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
    if (link->disconnecting) return NRF_ERROR_INVALID_STATE;
    if (link->procedureRunning) return NRF_ERROR_BUSY;
    if (!Answer(*link, request)) return NRF_ERROR_INVALID_STATE;
    return NRF_SUCCESS;
  }();
  return result == NRF_SUCCESS ? link : nullptr;
}

uint32_t Nrf52Board::ConnParamUpdate(uint16_t conn, const ble_gap_conn_params_t* params) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  Link* link = FindLink(conn);
  if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (link->disconnecting) return NRF_ERROR_INVALID_STATE;
  if (params != nullptr && !ValidConnParams(*params)) return NRF_ERROR_INVALID_PARAM;
  if (params != nullptr && link->procedureRunning) return NRF_ERROR_BUSY;
  // NULL parameters reject a pending request; without one they only probe the link.
  Answer(*link, Nrf52PeerRequest::kConnParamUpdate);
  if (params == nullptr) return NRF_SUCCESS;
  link->params = *params;
  Bytes event = NewEvent(BLE_GAP_EVT_CONN_PARAM_UPDATE);
  ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
  gap.conn_handle = conn;
  gap.params.conn_param_update.conn_params = *params;
  gap.params.conn_param_update.conn_params.min_conn_interval = params->max_conn_interval;
  EmitProcedureCompletion(*link, std::move(event));
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::DataLengthUpdate(uint16_t conn, const ble_gap_data_length_params_t* params,
                                      ble_gap_data_length_limitation_t* limitation) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  uint32_t result = NRF_SUCCESS;
  Link* link = AnswerWithProcedure(conn, Nrf52PeerRequest::kDataLengthUpdate, result);
  if (link == nullptr) return result;
  if (limitation != nullptr) *limitation = {0, 0, 0};
  ble_gap_data_length_params_t effective{kDefaultDataOctets, kDefaultDataOctets, kDefaultDataTimeUs,
                                         kDefaultDataTimeUs};
  if (params == nullptr) {
    effective = {kMaxDataOctets, kMaxDataOctets, kMaxDataTimeUs, kMaxDataTimeUs};
  } else {
    auto pick = [](uint16_t wanted, uint16_t floor, uint16_t peer) {
      return wanted == 0 ? peer : std::clamp<uint16_t>(wanted, floor, peer);
    };
    effective.max_tx_octets = pick(params->max_tx_octets, kDefaultDataOctets, kMaxDataOctets);
    effective.max_rx_octets = pick(params->max_rx_octets, kDefaultDataOctets, kMaxDataOctets);
    effective.max_tx_time_us = pick(params->max_tx_time_us, kDefaultDataTimeUs, kMaxDataTimeUs);
    effective.max_rx_time_us = pick(params->max_rx_time_us, kDefaultDataTimeUs, kMaxDataTimeUs);
  }
  Bytes event = NewEvent(BLE_GAP_EVT_DATA_LENGTH_UPDATE);
  ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
  gap.conn_handle = conn;
  gap.params.data_length_update.effective_params = effective;
  EmitProcedureCompletion(*link, std::move(event));
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::PhyUpdate(uint16_t conn, const ble_gap_phys_t* phys) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  if (phys == nullptr) return NRF_ERROR_INVALID_ADDR;
  uint32_t result = NRF_SUCCESS;
  Link* link = AnswerWithProcedure(conn, Nrf52PeerRequest::kPhyUpdate, result);
  if (link == nullptr) return result;
  // The peer prefers 2M; it is used where our side allows it.
  auto choose = [](uint8_t ours) {
    return ours == BLE_GAP_PHY_AUTO || (ours & BLE_GAP_PHY_2MBPS) != 0 ? BLE_GAP_PHY_2MBPS : BLE_GAP_PHY_1MBPS;
  };
  Bytes event = NewEvent(BLE_GAP_EVT_PHY_UPDATE);
  ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
  gap.conn_handle = conn;
  gap.params.phy_update.status = 0;  // success
  gap.params.phy_update.tx_phy = static_cast<uint8_t>(choose(phys->tx_phys));
  gap.params.phy_update.rx_phy = static_cast<uint8_t>(choose(phys->rx_phys));
  EmitProcedureCompletion(*link, std::move(event));
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::SysAttrSet(uint16_t conn, const uint8_t*, uint16_t, uint32_t) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  Link* link = FindLink(conn);
  if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (link->disconnecting) return NRF_ERROR_INVALID_STATE;
  return Answer(*link, Nrf52PeerRequest::kSysAttrMissing) ? NRF_SUCCESS : NRF_ERROR_INVALID_STATE;
}

uint32_t Nrf52Board::ExchangeMtuReply(uint16_t conn, uint16_t serverRxMtu) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  Link* link = FindLink(conn);
  if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (link->disconnecting) return NRF_ERROR_INVALID_STATE;
  if (serverRxMtu < BLE_GATT_ATT_MTU_DEFAULT || serverRxMtu > link->maxMtu) return NRF_ERROR_INVALID_PARAM;
  if (!Answer(*link, Nrf52PeerRequest::kMtuExchange)) return NRF_ERROR_INVALID_STATE;
  link->attMtu = Mtu(kPeerMtu, serverRxMtu);
  return NRF_SUCCESS;
}

// ---------------------------------------------------------------------------
// RSSI and transmit power

uint32_t Nrf52Board::RssiStart(uint16_t conn, uint8_t threshold, uint8_t skip) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  Link* link = FindLink(conn);
  if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (link->disconnecting || link->rssiOn) return NRF_ERROR_INVALID_STATE;
  link->rssiOn = true;
  link->rssiThreshold = threshold;
  link->rssiSkip = skip;
  link->rssiQualified = 0;
  link->lastRssi.reset();
  if (threshold == BLE_GAP_RSSI_THRESHOLD_INVALID) return NRF_SUCCESS;
  SampleRssi(conn, link->id);
  return NRF_SUCCESS;
}

void Nrf52Board::SampleRssi(uint16_t handle, uint64_t linkId) {
  Link* link = FindLink(handle);
  if (link == nullptr || link->id != linkId || !link->rssiOn) return;
  int rssi = m_environment.RssiAt(link->peripheral, m_clock->Now());
  // A change of at least the threshold (0: every sample) qualifies; an event
  // follows after `skip` qualifying samples in a row have been passed over.
  const bool qualifies = !link->lastRssi || std::abs(rssi - *link->lastRssi) >= link->rssiThreshold;
  link->rssiQualified = qualifies ? static_cast<uint8_t>(std::min(link->rssiQualified + 1, 0xFF)) : 0;
  if (qualifies && (!link->lastRssi || link->rssiQualified > link->rssiSkip)) {
    link->rssiQualified = 0;
    link->lastRssi = rssi;
    Bytes event = NewEvent(BLE_GAP_EVT_RSSI_CHANGED);
    ble_gap_evt_t& gap = EventOf(event)->evt.gap_evt;
    gap.conn_handle = handle;
    gap.params.rssi_changed.rssi = ClampDbm(rssi);
    gap.params.rssi_changed.ch_index = link->dataChannel;
    link->dataChannel = static_cast<uint8_t>((link->dataChannel + 1) % 37);
    Emit(std::move(event));
  }
  const auto interval = kConnIntervalUnit * std::max<uint16_t>(link->params.max_conn_interval, 6);
  link->rssiTimer = m_clock->ScheduleAfter(interval, [this, handle, linkId](Micros) {
    std::lock_guard lock(m_mutex);
    if (m_running) SampleRssi(handle, linkId);
  });
}

uint32_t Nrf52Board::RssiStop(uint16_t conn) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  Link* link = FindLink(conn);
  if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (!link->rssiOn) return NRF_ERROR_INVALID_STATE;
  link->rssiOn = false;
  m_clock->Cancel(link->rssiTimer);
  link->rssiTimer = 0;
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::TxPowerSet(uint8_t role, uint16_t handle, int8_t power) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  switch (role) {
    case BLE_GAP_TX_POWER_ROLE_ADV:
      if (!m_advConfigured || handle != 0) return BLE_ERROR_INVALID_ADV_HANDLE;
      if (!AcceptedTxPower(power)) return NRF_ERROR_INVALID_PARAM;
      m_advTxPower = power;
      return NRF_SUCCESS;
    case BLE_GAP_TX_POWER_ROLE_SCAN_INIT:
      if (!AcceptedTxPower(power)) return NRF_ERROR_INVALID_PARAM;
      m_scanInitTxPower = power;
      return NRF_SUCCESS;
    case BLE_GAP_TX_POWER_ROLE_CONN: {
      Link* link = FindLink(handle);
      if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
      if (!AcceptedTxPower(power)) return NRF_ERROR_INVALID_PARAM;
      link->txPower = power;
      return NRF_SUCCESS;
    }
    default:
      return NRF_ERROR_INVALID_PARAM;
  }
}

// ---------------------------------------------------------------------------
// The board's own advertising set

uint32_t Nrf52Board::AdvSetConfigure(uint8_t* handle, const ble_gap_adv_data_t* data,
                                     const ble_gap_adv_params_t* params) {
  auto refuse = [this](uint32_t code) {
    ++m_advRefused;
    return code;
  };
  if (!m_enabled) return refuse(BLE_ERROR_NOT_ENABLED);
  if (handle == nullptr) return refuse(NRF_ERROR_INVALID_ADDR);
  bool create = *handle == BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  if (create) {
    if (m_advConfigured) return refuse(NRF_ERROR_NO_MEM);  // one set only
    if (params == nullptr) return refuse(NRF_ERROR_INVALID_PARAM);
  } else if (*handle != 0 || !m_advConfigured) {
    return refuse(BLE_ERROR_INVALID_ADV_HANDLE);
  }
  if (m_advertising) {
    if (params != nullptr) return refuse(NRF_ERROR_INVALID_STATE);
    // The SoftDevice still uses the old buffers: new data must come in new ones.
    if (data != nullptr && ((data->adv_data.p_data != nullptr && data->adv_data.p_data == m_advDataBuffer) ||
                            (data->scan_rsp_data.p_data != nullptr && data->scan_rsp_data.p_data == m_scanRspBuffer))) {
      return refuse(NRF_ERROR_INVALID_STATE);
    }
  }
  uint8_t type = params != nullptr ? params->properties.type : m_advType;
  if (params != nullptr) {
    if (type < BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED ||
        type > BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED) {
      return refuse(NRF_ERROR_INVALID_PARAM);
    }
    bool directed = type == BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE ||
                    type == BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED;
    if (directed && params->p_peer_addr == nullptr) return refuse(NRF_ERROR_INVALID_PARAM);
    if (type != BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE &&
        (params->interval < 0x20 || params->interval > 0x4000)) {
      return refuse(NRF_ERROR_INVALID_PARAM);
    }
  }
  Bytes advData = m_advData;
  Bytes scanRsp = m_scanRspData;
  const uint8_t* advBuffer = m_advDataBuffer;
  const uint8_t* scanRspBuffer = m_scanRspBuffer;
  if (data != nullptr) {
    const ble_data_t& adv = data->adv_data;
    const ble_data_t& rsp = data->scan_rsp_data;
    if ((adv.p_data == nullptr && adv.len != 0) || (rsp.p_data == nullptr && rsp.len != 0)) {
      return refuse(NRF_ERROR_INVALID_ADDR);
    }
    if (adv.len > BLE_GAP_ADV_SET_DATA_SIZE_MAX || rsp.len > BLE_GAP_ADV_SET_DATA_SIZE_MAX) {
      return refuse(NRF_ERROR_INVALID_LENGTH);
    }
    // The firmware keeps its own copy.
    advData.assign(adv.p_data, adv.p_data + adv.len);
    scanRsp.assign(rsp.p_data, rsp.p_data + rsp.len);
    advBuffer = adv.p_data;
    scanRspBuffer = rsp.p_data;
  } else if (params != nullptr) {
    advData.clear();
    scanRsp.clear();
    advBuffer = scanRspBuffer = nullptr;
  }
  bool scannable = type == BLE_GAP_ADV_TYPE_CONNECTABLE_SCANNABLE_UNDIRECTED ||
                   type == BLE_GAP_ADV_TYPE_NONCONNECTABLE_SCANNABLE_UNDIRECTED;
  if (!scannable && !scanRsp.empty()) return refuse(NRF_ERROR_INVALID_PARAM);
  bool directed = type == BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED_HIGH_DUTY_CYCLE ||
                  type == BLE_GAP_ADV_TYPE_CONNECTABLE_NONSCANNABLE_DIRECTED;
  if (directed && !advData.empty()) return refuse(NRF_ERROR_INVALID_PARAM);

  m_advConfigured = true;
  *handle = 0;
  if (params != nullptr) {
    m_advType = type;
    m_advInterval = params->interval;
  }
  m_advData = std::move(advData);
  m_scanRspData = std::move(scanRsp);
  m_advDataBuffer = advBuffer;
  m_scanRspBuffer = scanRspBuffer;
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::AdvStart(uint8_t handle, uint8_t tag) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  if (!m_advConfigured || handle != 0) return BLE_ERROR_INVALID_ADV_HANDLE;
  if (m_advertising) return NRF_ERROR_INVALID_STATE;
  if (!TagKnown(tag)) return NRF_ERROR_NOT_FOUND;
  m_advertising = true;
  ++m_advRun;
  Micros now = m_clock->Now();
  RecordOnAir(now);
  ScheduleLocalAdvert(now + Micros(int64_t{m_advInterval} * 625));
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::AdvStop(uint8_t handle) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  if (!m_advConfigured || handle != 0) return BLE_ERROR_INVALID_ADV_HANDLE;
  if (!m_advertising) return NRF_ERROR_INVALID_STATE;
  m_advertising = false;
  m_clock->Cancel(m_advTimer);
  m_advTimer = 0;
  ++m_advRun;
  return NRF_SUCCESS;
}

void Nrf52Board::ScheduleLocalAdvert(Micros at) {
  uint64_t run = m_advRun;
  m_advTimer = m_clock->ScheduleAt(at, [this, run](Micros due) {
    std::lock_guard lock(m_mutex);
    if (!m_running || run != m_advRun) return;
    RecordOnAir(due);
    ScheduleLocalAdvert(due + Micros(int64_t{m_advInterval} * 625));
  });
}

void Nrf52Board::RecordOnAir(Micros at) {
  m_onAir.push_back({at, m_advData, m_advInterval});
  while (m_onAir.size() > kOnAirLimit) m_onAir.pop_front();
}

}  // namespace lumen::sim
