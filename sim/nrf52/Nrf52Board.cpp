#include "sim/nrf52/Nrf52Board.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "sim/nrf52/Nrf52Events.h"

namespace lumen::sim {

using namespace nrf52;

namespace {

// The driver decodes every event into a buffer of this size.
constexpr size_t kEventBufferSize = 700;

// Stands in for an adapter that is not this board's.
int g_foreignAdapter = 0;

// A UART at 1 Mbit/s with the driver's framing on both ends.
constexpr auto kRealTimeCallLatency = std::chrono::microseconds(500);
constexpr auto kRealTimeEventLatency = std::chrono::milliseconds(1);

// How often a real-time board looks for its port's file, as a host notices a
// device node going away within a moment.
constexpr const char* kPortGoneText = "serial port of the connectivity board is gone";

constexpr auto kPortFilePoll = std::chrono::milliseconds(100);

}  // namespace

Nrf52Board::Nrf52Board(Scenario scenario, std::string port, void* adapterInternal, Handlers handlers,
                       SimClock::Mode clockMode)
    : m_scenario(std::move(scenario)),
      m_port(std::move(port)),
      m_adapterInternal(adapterInternal),
      m_handlers(handlers),
      m_clock(std::make_unique<SimClock>(clockMode)),
      m_environment(m_scenario.peripherals),
      m_gattDropsLeft(m_scenario.peripherals.size(), 0),
      m_readsSeen(m_scenario.peripherals.size()),
      m_advertTimers(m_scenario.peripherals.size(), 0) {
  for (size_t i = 0; i < m_scenario.peripherals.size(); ++i) {
    const Peripheral& peripheral = m_scenario.peripherals[i];
    try {
      m_databases.emplace_back(peripheral.gatt);
    } catch (const ScenarioError& e) {
      throw ScenarioError("peripheral \"" + peripheral.name + "\": " + e.what());
    }
    if (peripheral.disconnectDuringGatt) m_gattDropsLeft[i] = peripheral.disconnectDuringGatt->times;
  }
  if (clockMode == SimClock::Mode::kRealTime) {
    m_callLatency = kRealTimeCallLatency;
    m_eventLatency = kRealTimeEventLatency;
  }
}

Nrf52Board::~Nrf52Board() {
  m_clock->Stop();
  {
    std::lock_guard lock(m_queueMutex);
    m_stopEvents = true;
  }
  m_queueChanged.notify_all();
  if (m_eventThread.joinable()) {
    if (m_eventThread.get_id() == std::this_thread::get_id()) {
      m_eventThread.detach();
    } else {
      m_eventThread.join();
    }
  }
}

void Nrf52Board::Start() {
  {
    std::lock_guard lock(m_mutex);
    m_running = true;
    for (size_t i = 0; i < m_advertTimers.size(); ++i) ScheduleAdvert(i, m_environment.FirstAdvertisement(i));
  }
  if (m_clock->GetMode() == SimClock::Mode::kRealTime) WatchPortFile();
  m_eventThread = std::thread([this] { EventThread(); });
}

bool Nrf52Board::Running() const {
  std::lock_guard lock(m_mutex);
  return m_running;
}

void Nrf52Board::Shutdown() {
  {
    std::lock_guard lock(m_mutex);
    if (!m_running) return;
    m_running = false;
  }
  // Outside the lock: the clock's thread may be waiting for it in a timer.
  m_clock->Stop();
  bool self = OnEventThread();
  {
    std::lock_guard lock(m_queueMutex);
    m_stopEvents = true;
    m_delivered += m_queue.size();
    m_queue.clear();
    if (self) m_selfWhileDetached = shared_from_this();
  }
  m_queueChanged.notify_all();
  m_deliveredChanged.notify_all();
  if (!m_eventThread.joinable()) return;
  if (self) {
    m_eventThread.detach();  // as the driver does, the thread ends after the handler returns
  } else {
    m_eventThread.join();
  }
}

// ---------------------------------------------------------------------------
// Calls

void Nrf52Board::Record(std::string_view function) {
  {
    std::lock_guard lock(m_callsMutex);
    // A board left running (a demo, a fuzzer) sees a call per advertisement:
    // the list keeps the latest calls, the counts cover all of them.
    if (m_calls.size() >= kCallsKept) m_calls.erase(m_calls.begin(), m_calls.begin() + kCallsKept / 2);
    m_calls.emplace_back(function);
    // Counted by function, and by the recorded text when it differs ("...(null)").
    const std::string_view name = function.substr(0, function.find('('));
    ++m_callCounts[std::string(name)];
    if (name != function) ++m_callCounts[std::string(function)];
  }
  m_callsChanged.notify_all();
}

size_t Nrf52Board::CallCount(std::string_view function) const {
  std::lock_guard lock(m_callsMutex);
  const auto found = m_callCounts.find(std::string(function));
  return found == m_callCounts.end() ? 0 : found->second;
}

uint32_t Nrf52Board::Call(std::string_view function, std::string_view recordedAs,
                          const std::function<uint32_t()>& body) {
  if (const Micros latency = m_callLatency.load();
      latency.count() > 0 && m_clock->GetMode() == SimClock::Mode::kRealTime) {
    std::this_thread::sleep_for(latency);
  }
  uint32_t result = NRF_SUCCESS;
  {
    std::lock_guard lock(m_mutex);
    bool isScanStart = function == "sd_ble_gap_scan_start";
    bool isConnect = function == "sd_ble_gap_connect";
    bool scriptedIgnore = ScenarioIgnores(function);
    auto rule = m_faultRules.find(function);
    bool armed = rule != m_faultRules.end() && rule->second.times > 0;
    if (!m_running || m_stopAnswering || m_unplugged) {
      if (m_running && !m_stopReported) {
        m_stopReported = true;
        QueueStatus(PKT_SEND_MAX_RETRIES_REACHED,
                    "no answer from the connectivity board: packet retransmission limit reached");
      }
      // A vanished port leaves the H5 link without acknowledgements.
      result = m_unplugged ? NRF_ERROR_SD_RPC_NO_RESPONSE : NRF_ERROR_SD_RPC_SEND;
    } else if (armed || scriptedIgnore) {
      // A fault armed by a test goes first; the scenario's count runs on.
      std::optional<uint32_t> forced;
      if (armed) {
        forced = rule->second.result;
        if (--rule->second.times == 0) m_faultRules.erase(rule);
      }
      // What the driver and the SoftDevice do for any answer stays: the
      // buffer is registered, a connect stops the scanner.
      if (isScanStart) RegisterReportBuffer();
      if (isConnect) StopScanner();
      result = forced.value_or(NRF_SUCCESS);
    } else {
      result = body();
    }
  }
  Record(recordedAs);
  return result;
}

bool Nrf52Board::ScenarioIgnores(std::string_view function) {
  const std::vector<IgnoredCalls>& rules = m_scenario.radio.ignoredCalls;
  if (rules.empty()) return false;
  auto seen = m_scenarioCallsSeen.find(function);
  if (seen == m_scenarioCallsSeen.end()) seen = m_scenarioCallsSeen.emplace(std::string(function), 0).first;
  uint64_t index = seen->second++;
  for (const IgnoredCalls& rule : rules) {
    if (rule.function == function && index >= rule.skip && index - rule.skip < rule.times) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Event output

void Nrf52Board::Emit(Bytes event, std::function<void(uint8_t*)> prepare) {
  if (!m_running || m_stopAnswering || m_unplugged) return;
  Delivery delivery;
  delivery.kind = Delivery::Kind::kEvent;
  delivery.event = std::move(event);
  delivery.prepare = std::move(prepare);
  Enqueue(std::move(delivery));
}

void Nrf52Board::QueueStatus(int code, std::string message) {
  QueueText(Delivery::Kind::kStatus, code, std::move(message));
}

void Nrf52Board::QueueLog(int severity, std::string message) {
  QueueText(Delivery::Kind::kLog, severity, std::move(message));
}

void Nrf52Board::QueueText(Delivery::Kind kind, int code, std::string text) {
  Delivery delivery;
  delivery.kind = kind;
  delivery.code = code;
  delivery.text = std::move(text);
  Enqueue(std::move(delivery));
}

void Nrf52Board::SetLatency(Micros call, Micros event) {
  m_callLatency = std::max(call, Micros(0));
  m_eventLatency = std::max(event, Micros(0));
}

void Nrf52Board::Enqueue(Delivery delivery) {
  const Micros latency = m_eventLatency.load();
  Micros due{0};
  {
    std::lock_guard lock(m_queueMutex);
    if (m_stopEvents) return;
    if (latency.count() == 0 && m_inFlight == 0) {
      m_queue.push_back(std::move(delivery));
      ++m_produced;
      due = Micros(-1);
    } else {
      due = std::max(m_clock->Now() + latency, m_lastInFlightDue);
      m_lastInFlightDue = due;
      ++m_inFlight;
    }
  }
  if (due == Micros(-1)) {
    m_queueChanged.notify_all();
    return;
  }
  auto held = std::make_shared<Delivery>(std::move(delivery));
  m_clock->ScheduleAt(due, [this, held](Micros) {
    {
      std::lock_guard lock(m_queueMutex);
      --m_inFlight;
    }
    EnqueueNow(std::move(*held));
  });
}

void Nrf52Board::EnqueueNow(Delivery delivery) {
  {
    std::lock_guard lock(m_queueMutex);
    if (m_stopEvents) return;
    m_queue.push_back(std::move(delivery));
    ++m_produced;
  }
  m_queueChanged.notify_all();
}

void Nrf52Board::EventThread() {
  m_eventThreadId = std::this_thread::get_id();
  for (;;) {
    Delivery delivery;
    {
      std::unique_lock lock(m_queueMutex);
      m_queueChanged.wait(lock, [this] { return m_stopEvents || !m_queue.empty(); });
      if (m_stopEvents) break;
      delivery = std::move(m_queue.front());
      m_queue.pop_front();
    }
    Deliver(delivery);
    {
      std::lock_guard lock(m_queueMutex);
      ++m_delivered;
    }
    m_deliveredChanged.notify_all();
  }
  std::shared_ptr<Nrf52Board> keep;
  {
    std::lock_guard lock(m_queueMutex);
    keep = std::move(m_selfWhileDetached);
  }
  m_eventThreadId = std::thread::id();
  // `keep` may end the board here, on its own (detached) thread.
}

void Nrf52Board::Deliver(Delivery& delivery) {
  // Callbacks get a copy on the stack, as the driver hands them out.
  adapter_t adapter{delivery.otherAdapter ? static_cast<void*>(&g_foreignAdapter) : m_adapterInternal};
  try {
    switch (delivery.kind) {
      case Delivery::Kind::kEvent: {
        size_t size = std::max(kEventBufferSize, delivery.event.size());
        auto* buffer = static_cast<uint8_t*>(std::calloc(1, size));
        if (buffer == nullptr) return;
        std::memcpy(buffer, delivery.event.data(), delivery.event.size());
        try {
          if (delivery.prepare) delivery.prepare(buffer);
          if (m_handlers.event != nullptr) m_handlers.event(&adapter, reinterpret_cast<ble_evt_t*>(buffer));
        } catch (...) {
          // A throwing handler must not end the board's thread.
        }
        std::free(buffer);
        return;
      }
      case Delivery::Kind::kStatus:
        if (m_handlers.status != nullptr) {
          m_handlers.status(&adapter, static_cast<sd_rpc_app_status_t>(delivery.code), delivery.text.c_str());
        }
        return;
      case Delivery::Kind::kLog:
        if (m_handlers.log != nullptr && delivery.code >= m_logFilter.load()) {
          m_handlers.log(&adapter, static_cast<sd_rpc_log_severity_t>(delivery.code), delivery.text.c_str());
        }
        return;
    }
  } catch (...) {
    // Same for the status and log handlers.
  }
}

// ---------------------------------------------------------------------------
// Common SoftDevice functions

uint32_t Nrf52Board::Enable() {
  if (m_enabled) return NRF_ERROR_INVALID_STATE;
  m_enabled = true;
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::CfgSet(uint32_t id, const ble_cfg_t* cfg) {
  if (m_enabled) return NRF_ERROR_INVALID_STATE;
  if (cfg == nullptr) return NRF_ERROR_INVALID_ADDR;
  switch (id) {
    case BLE_GAP_CFG_ROLE_COUNT: {
      const ble_gap_cfg_role_count_t& roles = cfg->gap_cfg.role_count_cfg;
      if (roles.adv_set_count > BLE_GAP_ADV_SET_COUNT_MAX ||
          roles.periph_role_count + roles.central_role_count > BLE_GAP_ROLE_COUNT_COMBINED_MAX ||
          roles.central_sec_count > roles.central_role_count) {
        return NRF_ERROR_INVALID_PARAM;
      }
      m_configuration.centralRoleCount = roles.central_role_count;
      m_configuration.advSetCount = roles.adv_set_count;
      return NRF_SUCCESS;
    }
    case BLE_CONN_CFG_GAP: {
      const ble_gap_conn_cfg_t& gap = cfg->conn_cfg.params.gap_conn_cfg;
      if (gap.conn_count == 0 || gap.event_length < BLE_GAP_EVENT_LENGTH_MIN) return NRF_ERROR_INVALID_PARAM;
      ConnTag& tag = m_tags[cfg->conn_cfg.conn_cfg_tag];
      tag.connCount = gap.conn_count;
      tag.eventLength = gap.event_length;
      m_configuration.connCount = gap.conn_count;
      m_configuration.eventLength = gap.event_length;
      m_configuration.connCfgTag = cfg->conn_cfg.conn_cfg_tag;
      return NRF_SUCCESS;
    }
    case BLE_CONN_CFG_GATT: {
      uint16_t mtu = cfg->conn_cfg.params.gatt_conn_cfg.att_mtu;
      if (mtu < BLE_GATT_ATT_MTU_DEFAULT || mtu > 247) return NRF_ERROR_INVALID_PARAM;
      m_tags[cfg->conn_cfg.conn_cfg_tag].attMtu = mtu;
      m_configuration.attMtu = mtu;
      return NRF_SUCCESS;
    }
    case BLE_CONN_CFG_GATTC: {
      uint8_t queue = cfg->conn_cfg.params.gattc_conn_cfg.write_cmd_tx_queue_size;
      if (queue == 0) return NRF_ERROR_INVALID_PARAM;
      m_tags[cfg->conn_cfg.conn_cfg_tag].writeCmdQueue = queue;
      return NRF_SUCCESS;
    }
    case BLE_CONN_CFG_GATTS:
    case BLE_CONN_CFG_L2CAP:
      m_tags[cfg->conn_cfg.conn_cfg_tag];
      return NRF_SUCCESS;
    case BLE_COMMON_CFG_VS_UUID:
    case BLE_GAP_CFG_DEVICE_NAME:
      return NRF_SUCCESS;
    default:
      return NRF_ERROR_NOT_SUPPORTED;
  }
}

uint32_t Nrf52Board::VersionGet(ble_version_t* version) {
  if (version == nullptr) return NRF_ERROR_INVALID_ADDR;
  version->version_number = m_scenario.radio.softDevice.versionNumber;
  version->company_id = m_scenario.radio.softDevice.companyId;
  version->subversion_number = m_scenario.radio.softDevice.subversionNumber;
  return NRF_SUCCESS;
}

uint32_t Nrf52Board::UserMemReply(uint16_t conn, const ble_user_mem_block_t*) {
  if (!m_enabled) return BLE_ERROR_NOT_ENABLED;
  Link* link = FindLink(conn);
  if (link == nullptr) return BLE_ERROR_INVALID_CONN_HANDLE;
  if (link->disconnecting) return NRF_ERROR_INVALID_STATE;
  return Answer(*link, Nrf52PeerRequest::kUserMemRequest) ? NRF_SUCCESS : NRF_ERROR_INVALID_STATE;
}

uint32_t Nrf52Board::ConnReset() {
  ++m_resets;
  ResetSoftDevice();
  return NRF_SUCCESS;
}

void Nrf52Board::ResetSoftDevice() {
  // A reboot: links vanish without events, as the chip no longer talks.
  for (auto& [handle, link] : m_links) {
    CancelLinkTimers(link);
    m_environment.SetConnected(link.peripheral, false);
    m_databases[link.peripheral].ResetConfigurations();
  }
  m_links.clear();
  if (m_connecting) {
    m_clock->Cancel(m_connecting->connectTimer);
    m_clock->Cancel(m_connecting->timeoutTimer);
    m_connecting.reset();
  }
  m_clock->Cancel(m_scanTimeoutTimer);
  m_scanTimeoutTimer = 0;
  m_scanner = Nrf52ScannerState::kStopped;
  m_pendingScanResponse.reset();
  ++m_scanRun;
  ++m_bufferGeneration;
  m_clock->Cancel(m_advTimer);
  m_advTimer = 0;
  ++m_advRun;
  m_advConfigured = m_advertising = false;
  m_advData.clear();
  m_scanRspData.clear();
  m_advDataBuffer = m_scanRspBuffer = nullptr;
  m_advTxPower.reset();
  m_scanInitTxPower.reset();
  m_enabled = false;
  m_configuration = {};
  m_tags.clear();
}

// ---------------------------------------------------------------------------
// Test hooks

Nrf52Snapshot Nrf52Board::Snapshot() const {
  std::lock_guard lock(m_mutex);
  Nrf52Snapshot snapshot;
  snapshot.open = m_running;
  snapshot.enabled = m_enabled;
  snapshot.configuration = m_configuration;
  snapshot.scanner = m_scanner;
  snapshot.activeScanning = m_activeScanning;
  snapshot.scanIntervalUnits = m_scanInterval;
  snapshot.scanWindowUnits = m_scanWindow;
  snapshot.scanStartsRefused = m_scanStartsRefused;
  snapshot.reportBufferSlotsInUse = m_slotsInUse;
  snapshot.reportBufferPoolOverflowed = m_poolOverflowed;
  snapshot.scanInitTxPowerDbm = m_scanInitTxPower;
  for (const auto& [handle, link] : m_links) {
    Nrf52ConnectionInfo info;
    info.handle = handle;
    info.peripheral = m_scenario.peripherals[link.peripheral].name;
    info.address = link.address;
    info.peerAddrType = link.hostAddrType;
    info.minIntervalUnits = link.params.min_conn_interval;
    info.maxIntervalUnits = link.params.max_conn_interval;
    info.slaveLatency = link.params.slave_latency;
    info.supervisionTimeoutUnits = link.params.conn_sup_timeout;
    info.rssiReporting = link.rssiOn;
    info.txPowerDbm = link.txPower;
    info.attMtu = link.attMtu;
    info.unanswered = link.unanswered;
    info.answered = link.answered;
    info.indicationsConfirmed = link.indicationsConfirmed;
    info.indicationsUnconfirmed = link.indicationsUnconfirmed;
    info.disconnecting = link.disconnecting;
    snapshot.connections.push_back(std::move(info));
  }
  snapshot.connecting = m_connecting.has_value();
  Nrf52AdvertisingInfo& advertising = snapshot.advertising;
  advertising.configured = m_advConfigured;
  advertising.handle = m_advConfigured ? 0 : BLE_GAP_ADV_SET_HANDLE_NOT_SET;
  advertising.advertising = m_advertising;
  advertising.advData = m_advData;
  advertising.intervalUnits = m_advInterval;
  advertising.type = m_advType;
  advertising.txPowerDbm = m_advTxPower;
  advertising.refusedConfigurations = m_advRefused;
  snapshot.resets = m_resets;
  return snapshot;
}

std::vector<Nrf52OnAirFrame> Nrf52Board::OnAir() const {
  std::lock_guard lock(m_mutex);
  return std::vector<Nrf52OnAirFrame>(m_onAir.begin(), m_onAir.end());
}

std::optional<GattDatabase> Nrf52Board::Database(std::string_view peripheral) const {
  std::lock_guard lock(m_mutex);
  for (size_t i = 0; i < m_scenario.peripherals.size(); ++i) {
    if (m_scenario.peripherals[i].name == peripheral) return m_databases[i];
  }
  return std::nullopt;
}

bool Nrf52Board::Notify(std::string_view peripheral, const AttUuid& characteristic, const Bytes& value) {
  std::lock_guard lock(m_mutex);
  for (auto& [handle, link] : m_links) {
    if (m_scenario.peripherals[link.peripheral].name != peripheral || link.disconnecting) continue;
    auto valueHandle = m_databases[link.peripheral].ValueHandleOf(characteristic);
    return valueHandle && SendValueUpdate(link, *valueHandle, value);
  }
  return false;
}

std::vector<std::string> Nrf52Board::Calls() const {
  std::lock_guard lock(m_callsMutex);
  return m_calls;
}

bool Nrf52Board::WaitForCall(std::string_view function, size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_callsMutex);
  const std::string name(function);
  return m_callsChanged.wait_for(lock, timeout, [&] {
    const auto found = m_callCounts.find(name);
    return found != m_callCounts.end() && found->second >= count;
  });
}

bool Nrf52Board::WaitUntilDelivered(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_queueMutex);
  uint64_t target = m_produced;
  return m_deliveredChanged.wait_for(lock, timeout, [&] { return m_delivered >= target; });
}

void Nrf52Board::InjectEvent(const uint8_t* event, size_t length, bool fromOtherAdapter) {
  if (event == nullptr) return;
  ble_evt_hdr_t header{};
  if (length >= sizeof header) std::memcpy(&header, event, sizeof header);
  if (header.evt_id == BLE_GAP_EVT_ADV_REPORT && !fromOtherAdapter) {
    // A report pauses the scanner and hands its buffer back, as one the
    // board produced itself would.
    std::lock_guard lock(m_mutex);
    if (m_scanner == Nrf52ScannerState::kRunning) {
      m_scanner = Nrf52ScannerState::kPaused;
      ReleaseReportBuffer();
    }
  }
  Delivery delivery;
  delivery.kind = Delivery::Kind::kEvent;
  delivery.event.assign(event, event + length);
  delivery.otherAdapter = fromOtherAdapter;
  Enqueue(std::move(delivery));
}

void Nrf52Board::InjectStatus(int code, const std::string& message) { QueueStatus(code, message); }

void Nrf52Board::InjectLog(int severity, const std::string& message) { QueueLog(severity, message); }

// ---------------------------------------------------------------------------
// Faults

void Nrf52Board::StopAnswering() {
  std::lock_guard lock(m_mutex);
  m_stopAnswering = true;
}

void Nrf52Board::Unplug() {
  {
    std::lock_guard lock(m_mutex);
    if (m_unplugged) return;
    m_unplugged = true;
  }
  QueueStatus(IO_RESOURCES_UNAVAILABLE, kPortGoneText);
  TakeAwayNrf52Port(m_port);
}

void Nrf52Board::Replug() { ReturnNrf52Port(m_port); }

void Nrf52Board::WatchPortFile() {
  m_clock->ScheduleAfter(kPortFilePoll, [this](Micros) {
    std::error_code error;
    const bool present = std::filesystem::exists(m_port, error) || error;  // an unreadable answer is no removal
    {
      std::lock_guard lock(m_mutex);
      if (!m_running || m_unplugged) return;  // nothing more to notice on this board
      if (present) {
        WatchPortFile();
        return;
      }
      m_unplugged = true;
    }
    QueueStatus(IO_RESOURCES_UNAVAILABLE, kPortGoneText);
    TakeAwayNrf52PortWithItsFile(m_port);
  });
}

void Nrf52Board::FailNextCall(std::string_view function, uint32_t result, size_t times) {
  std::lock_guard lock(m_mutex);
  m_faultRules[std::string(function)] = FaultRule{result, times};
}

void Nrf52Board::IgnoreNextCall(std::string_view function, size_t times) {
  std::lock_guard lock(m_mutex);
  m_faultRules[std::string(function)] = FaultRule{std::nullopt, times};
}

bool Nrf52Board::DropConnection(uint16_t connHandle, uint8_t reason) {
  std::lock_guard lock(m_mutex);
  if (FindLink(connHandle) == nullptr) return false;
  EndLink(connHandle, reason);
  return true;
}

bool Nrf52Board::DisconnectDuringNextGattProcedure(uint16_t connHandle, uint8_t reason) {
  std::lock_guard lock(m_mutex);
  Link* link = FindLink(connHandle);
  if (link == nullptr) return false;
  ++link->gattDrops;
  link->gattDropReason = reason;
  return true;
}

bool Nrf52Board::TimeOutNextGattProcedure(uint16_t connHandle) {
  std::lock_guard lock(m_mutex);
  Link* link = FindLink(connHandle);
  if (link == nullptr) return false;
  link->timeOutNextGatt = true;
  return true;
}

bool Nrf52Board::AnswerNextReadWithStatus(uint16_t connHandle, uint16_t gattStatus) {
  std::lock_guard lock(m_mutex);
  Link* link = FindLink(connHandle);
  if (link == nullptr) return false;
  link->nextReadStatus = gattStatus;
  return true;
}

void Nrf52Board::GoSilent() {
  std::lock_guard lock(m_mutex);
  m_environment.SetSilent(true);
}

bool Nrf52Board::SendPeerRequest(uint16_t connHandle, Nrf52PeerRequest request) {
  std::lock_guard lock(m_mutex);
  Link* link = FindLink(connHandle);
  if (link == nullptr || link->disconnecting) return false;
  SendRequest(*link, request);
  return true;
}

void Nrf52Board::Clear() {
  std::lock_guard lock(m_mutex);
  m_faultRules.clear();
  m_stopAnswering = false;
  m_stopReported = false;
  m_environment.SetSilent(false);
  for (auto& [handle, link] : m_links) {
    link.gattDrops = 0;
    link.timeOutNextGatt = false;
  }
}

}  // namespace lumen::sim
