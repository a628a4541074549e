#pragma once

// The simulated connectivity board behind one open adapter: a SoftDevice's
// state, the RF world of a scenario, and the thread that hands events and
// status/log records to the application's callbacks.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sd_rpc.h"
#include "sim/RfEnvironment.h"
#include "sim/Scenario.h"
#include "sim/nrf52/VirtualNrf52.h"

namespace lumen::sim {

// The port's USB device is gone until ReturnNrf52Port (SdRpc.cpp).
void TakeAwayNrf52Port(const std::string& port);
// The port is gone because its file is: it is back as soon as the file is.
void TakeAwayNrf52PortWithItsFile(const std::string& port);

class Nrf52Board final : public VirtualNrf52, public Nrf52Faults, public std::enable_shared_from_this<Nrf52Board> {
 public:
  using Micros = std::chrono::microseconds;

  struct Handlers {
    sd_rpc_status_handler_t status = nullptr;
    sd_rpc_evt_handler_t event = nullptr;
    sd_rpc_log_handler_t log = nullptr;
  };

  // Throws ScenarioError when the scenario's attribute tables cannot be built.
  Nrf52Board(Scenario scenario, std::string port, void* adapterInternal, Handlers handlers, SimClock::Mode clockMode);
  ~Nrf52Board() override;
  Nrf52Board(const Nrf52Board&) = delete;
  Nrf52Board& operator=(const Nrf52Board&) = delete;

  void Start();
  // Stops time and the event thread and joins them (detaches the event thread
  // when called on it). Undelivered records are dropped.
  void Shutdown();
  bool OnEventThread() const { return m_eventThreadId.load() == std::this_thread::get_id(); }
  bool Running() const;
  void SetLogFilter(int severity) { m_logFilter = severity; }

  // Runs one driver call: records it, applies the armed faults, and otherwise
  // hands it to `body` with the board's lock held.
  uint32_t Call(std::string_view function, std::string_view recordedAs, const std::function<uint32_t()>& body);
  // Calls that have no SoftDevice side (sd_rpc_*) are recorded only.
  void Record(std::string_view function);

  // SoftDevice functions; the lock is held by Call.
  uint32_t Enable();
  uint32_t CfgSet(uint32_t id, const ble_cfg_t* cfg);
  uint32_t VersionGet(ble_version_t* version);
  uint32_t UserMemReply(uint16_t conn, const ble_user_mem_block_t* block);
  uint32_t ConnReset();

  uint32_t ScanStart(const ble_gap_scan_params_t* params, const ble_data_t* buffer);
  uint32_t ScanStop();
  uint32_t Connect(const ble_gap_addr_t* peer, const ble_gap_scan_params_t* scan, const ble_gap_conn_params_t* conn,
                   uint8_t tag);
  uint32_t ConnectCancel();
  uint32_t Disconnect(uint16_t conn, uint8_t hciStatus);
  uint32_t ConnParamUpdate(uint16_t conn, const ble_gap_conn_params_t* params);
  uint32_t DataLengthUpdate(uint16_t conn, const ble_gap_data_length_params_t* params,
                            ble_gap_data_length_limitation_t* limitation);
  uint32_t PhyUpdate(uint16_t conn, const ble_gap_phys_t* phys);
  uint32_t RssiStart(uint16_t conn, uint8_t threshold, uint8_t skip);
  uint32_t RssiStop(uint16_t conn);
  uint32_t TxPowerSet(uint8_t role, uint16_t handle, int8_t power);
  uint32_t AdvSetConfigure(uint8_t* handle, const ble_gap_adv_data_t* data, const ble_gap_adv_params_t* params);
  uint32_t AdvStart(uint8_t handle, uint8_t tag);
  uint32_t AdvStop(uint8_t handle);

  uint32_t PrimaryServicesDiscover(uint16_t conn, uint16_t start, const ble_uuid_t* uuid);
  uint32_t CharacteristicsDiscover(uint16_t conn, const ble_gattc_handle_range_t* range);
  uint32_t Read(uint16_t conn, uint16_t handle, uint16_t offset);
  uint32_t Write(uint16_t conn, const ble_gattc_write_params_t* params);
  uint32_t HvConfirm(uint16_t conn, uint16_t handle);
  uint32_t ExchangeMtuRequest(uint16_t conn, uint16_t clientRxMtu);
  uint32_t SysAttrSet(uint16_t conn, const uint8_t* data, uint16_t length, uint32_t flags);
  uint32_t ExchangeMtuReply(uint16_t conn, uint16_t serverRxMtu);

  // Status and log records to the callbacks, in order with the events.
  void QueueStatus(int code, std::string message);
  void QueueLog(int severity, std::string message);

  // VirtualNrf52
  SimClock& Clock() override { return *m_clock; }
  Nrf52Faults& Faults() override { return *this; }
  Nrf52Snapshot Snapshot() const override;
  std::vector<Nrf52OnAirFrame> OnAir() const override;
  std::optional<GattDatabase> Database(std::string_view peripheral) const override;
  bool Notify(std::string_view peripheral, const AttUuid& characteristic, const Bytes& value) override;
  std::vector<std::string> Calls() const override;
  bool WaitForCall(std::string_view function, size_t count, std::chrono::milliseconds timeout) override;
  size_t CallCount(std::string_view function) const override;
  bool WaitUntilDelivered(std::chrono::milliseconds timeout) override;
  void InjectEvent(const uint8_t* event, size_t length, bool fromOtherAdapter) override;
  void InjectStatus(int code, const std::string& message) override;
  void InjectLog(int severity, const std::string& message) override;
  void SetLatency(Micros call, Micros event) override;

  // Nrf52Faults
  void StopAnswering() override;
  void Unplug() override;
  void Replug() override;
  void FailNextCall(std::string_view function, uint32_t result, size_t times) override;
  void IgnoreNextCall(std::string_view function, size_t times) override;
  bool DropConnection(uint16_t connHandle, uint8_t reason) override;
  bool DisconnectDuringNextGattProcedure(uint16_t connHandle, uint8_t reason) override;
  bool TimeOutNextGattProcedure(uint16_t connHandle) override;
  bool AnswerNextReadWithStatus(uint16_t connHandle, uint16_t gattStatus) override;
  void GoSilent() override;
  bool SendPeerRequest(uint16_t connHandle, Nrf52PeerRequest request) override;
  void Clear() override;

 private:
  // One record on its way to a callback. `prepare` runs on the event thread
  // right before the handler sees the event buffer.
  struct Delivery {
    enum class Kind { kEvent, kStatus, kLog } kind = Kind::kEvent;
    Bytes event;
    int code = 0;
    std::string text;
    bool otherAdapter = false;
    std::function<void(uint8_t* buffer)> prepare;
  };

  struct ConnTag {
    std::optional<uint8_t> connCount;
    std::optional<uint16_t> eventLength;
    std::optional<uint16_t> attMtu;
    std::optional<uint8_t> writeCmdQueue;
  };

  struct PendingConnect {
    uint64_t id = 0;
    BdAddress address;
    AddressType type = AddressType::kPublic;
    uint8_t hostType = 0;
    ble_gap_conn_params_t params{};
    uint8_t tag = 0;
    SimClock::TimerId connectTimer = 0;
    SimClock::TimerId timeoutTimer = 0;
  };

  struct Link {
    uint16_t handle = 0;
    uint64_t id = 0;
    size_t peripheral = 0;
    BdAddress address;
    uint8_t hostAddrType = 0;
    ble_gap_conn_params_t params{};
    uint8_t tag = 0;
    uint16_t attMtu = 23;
    uint16_t maxMtu = 23;  // configured for the tag
    bool clientMtuExchanged = false;
    std::vector<Nrf52PeerRequest> unanswered;
    std::vector<Nrf52PeerRequest> answered;
    std::map<Nrf52PeerRequest, SimClock::TimerId> requestTimers;
    bool rssiOn = false;
    uint8_t rssiThreshold = 0;
    uint8_t rssiSkip = 0;       // qualifying samples passed over before an event
    uint8_t rssiQualified = 0;  // in a row, since the last event
    std::optional<int> lastRssi;
    SimClock::TimerId rssiTimer = 0;
    uint8_t dataChannel = 0;
    std::optional<int8_t> txPower;
    // GATT client
    bool busy = false;
    bool attDead = false;  // after BLE_GATTC_EVT_TIMEOUT no ATT traffic is possible
    size_t writeCmdsOutstanding = 0;
    size_t writeCmdQueue = 1;
    std::optional<uint16_t> pendingIndication;
    SimClock::TimerId indicationTimer = 0;
    std::deque<std::pair<uint16_t, Bytes>> queuedIndications;
    size_t indicationsConfirmed = 0;
    size_t indicationsUnconfirmed = 0;
    uint32_t gattDrops = 0;
    uint8_t gattDropReason = 0;
    bool timeOutNextGatt = false;
    std::optional<uint16_t> nextReadStatus;
    std::vector<SimClock::TimerId> timers;
    // A link-layer procedure a reply started: the others answer
    // NRF_ERROR_BUSY until its completion event has been delivered.
    bool procedureRunning = false;
    // After sd_ble_gap_disconnect, until BLE_GAP_EVT_DISCONNECTED is delivered.
    bool disconnecting = false;
  };

  struct FaultRule {
    std::optional<uint32_t> result;  // unset: ignore the call
    size_t times = 0;
  };

  // Counts a call against the scenario's ignored calls; true when it is one of them.
  bool ScenarioIgnores(std::string_view function);

  // Event output
  void Emit(Bytes event, std::function<void(uint8_t*)> prepare = {});
  // Hands the record to the event thread after the event latency.
  void Enqueue(Delivery delivery);
  // A status or log record, with its code or severity.
  void QueueText(Delivery::Kind kind, int code, std::string text);
  void EnqueueNow(Delivery delivery);
  void EventThread();
  void Deliver(Delivery& delivery);

  // Board life
  void ResetSoftDevice();
  void CancelLinkTimers(Link& link);
  // Real time only: the port's file vanishing is an unplug.
  void WatchPortFile();

  // Scanning and the peripherals
  void ScheduleAdvert(size_t peripheral, Micros at);
  void OnPeripheralAdvert(size_t peripheral, Micros due);
  void EmitReport(const AdvertisingReport& report, bool scanResponse);
  void RegisterReportBuffer();
  void ReleaseReportBuffer();
  void StopScanner();

  // Links
  void TryConnect(Micros at);
  void Establish(size_t peripheral);
  void EndLink(uint16_t handle, std::optional<uint8_t> reason);
  // The local side ends the link; it stays, refusing calls, until the
  // disconnection event has been handed to the application.
  void BeginDisconnect(Link& link, uint8_t reason);
  // Emits the completion event of a link-layer procedure started now.
  void EmitProcedureCompletion(Link& link, Bytes event);
  void AddLinkTimer(Link& link, Micros at, std::function<void(Link&)> action);
  Link* FindLink(uint16_t handle);
  const Link* FindLink(uint16_t handle) const;
  uint32_t ConnCountLimit(uint8_t tag) const;
  bool TagKnown(uint8_t tag) const;
  void SendRequest(Link& link, Nrf52PeerRequest request);
  // False when that request is not waiting for a reply.
  bool Answer(Link& link, Nrf52PeerRequest request);
  // The link on which a procedure answers the peer's pending `request`, or
  // nullptr with the call's `result` when it cannot.
  Link* AnswerWithProcedure(uint16_t conn, Nrf52PeerRequest request, uint32_t& result);
  void SampleRssi(uint16_t handle, uint64_t linkId);

  // Local advertising
  void ScheduleLocalAdvert(Micros at);
  void RecordOnAir(Micros at);

  // GATT client
  // The link a procedure starts on, or nullptr with the call's `result`. The
  // peer's faults are applied here: when the request goes out but no answer
  // will come (the link dropped or the peer silent), nullptr with NRF_SUCCESS.
  Link* BeginProcedure(uint16_t conn, uint32_t& result);
  void EmitGattc(Bytes event, uint16_t conn, bool completesProcedure);
  void AfterWrite(Link& link, uint16_t attribute, const Bytes& value);
  bool SendValueUpdate(Link& link, uint16_t valueHandle, const Bytes& value);
  void SendIndication(Link& link, uint16_t valueHandle, const Bytes& value);

  const Scenario m_scenario;
  const std::string m_port;
  void* const m_adapterInternal;
  const Handlers m_handlers;
  std::unique_ptr<SimClock> m_clock;
  std::atomic<int> m_logFilter{0};
  std::atomic<Micros> m_callLatency{Micros(0)};
  std::atomic<Micros> m_eventLatency{Micros(0)};

  mutable std::recursive_mutex m_mutex;  // the board's state; every driver call holds it
  bool m_running = false;
  bool m_stopAnswering = false;
  bool m_unplugged = false;
  bool m_stopReported = false;
  std::map<std::string, FaultRule, std::less<>> m_faultRules;
  std::map<std::string, uint64_t, std::less<>> m_scenarioCallsSeen;  // by function, for the scenario's ignored calls

  RfEnvironment m_environment;
  std::vector<GattDatabase> m_databases;
  std::vector<uint32_t> m_gattDropsLeft;
  std::vector<std::vector<uint64_t>> m_readsSeen;  // per peripheral, one count per read behaviour
  std::vector<SimClock::TimerId> m_advertTimers;

  // SoftDevice
  bool m_enabled = false;
  size_t m_resets = 0;
  Nrf52Configuration m_configuration;
  std::map<uint8_t, ConnTag> m_tags;

  // Scanner
  Nrf52ScannerState m_scanner = Nrf52ScannerState::kStopped;
  bool m_activeScanning = false;
  uint16_t m_scanInterval = 0;
  uint16_t m_scanWindow = 0;
  size_t m_scanStartsRefused = 0;
  size_t m_slotsInUse = 0;
  bool m_poolOverflowed = false;
  uint8_t* m_reportBuffer = nullptr;
  uint16_t m_reportBufferLength = 0;
  uint64_t m_bufferGeneration = 0;  // a successful stop invalidates the buffer
  SimClock::TimerId m_scanTimeoutTimer = 0;
  uint64_t m_scanRun = 0;
  std::optional<AdvertisingReport> m_pendingScanResponse;
  uint8_t m_advChannel = 37;
  std::optional<int8_t> m_scanInitTxPower;

  // Connections
  std::optional<PendingConnect> m_connecting;
  std::map<uint16_t, Link> m_links;
  uint64_t m_nextLinkId = 1;

  // Local advertising (one set)
  bool m_advConfigured = false;
  bool m_advertising = false;
  uint8_t m_advType = 0;
  uint32_t m_advInterval = 0;
  Bytes m_advData;
  Bytes m_scanRspData;
  const uint8_t* m_advDataBuffer = nullptr;
  const uint8_t* m_scanRspBuffer = nullptr;
  std::optional<int8_t> m_advTxPower;
  size_t m_advRefused = 0;
  SimClock::TimerId m_advTimer = 0;
  uint64_t m_advRun = 0;
  std::deque<Nrf52OnAirFrame> m_onAir;

  // Calls
  mutable std::mutex m_callsMutex;
  std::condition_variable m_callsChanged;
  static constexpr size_t kCallsKept = 100000;
  std::vector<std::string> m_calls;
  std::map<std::string, size_t, std::less<>> m_callCounts;  // by function, all calls so far

  // Event thread
  mutable std::mutex m_queueMutex;
  std::condition_variable m_queueChanged;
  std::condition_variable m_deliveredChanged;
  std::deque<Delivery> m_queue;
  uint64_t m_produced = 0;
  uint64_t m_delivered = 0;
  // Records still in flight on the clock; later ones never overtake them.
  size_t m_inFlight = 0;
  Micros m_lastInFlightDue{0};
  bool m_stopEvents = false;
  std::thread m_eventThread;
  std::atomic<std::thread::id> m_eventThreadId{};
  std::shared_ptr<Nrf52Board> m_selfWhileDetached;
};

}  // namespace lumen::sim
