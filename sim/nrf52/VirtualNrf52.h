#pragma once

// Test and demo access to the virtual nRF52 connectivity board. The board
// itself is reached through pc-ble-driver's functions (sd_rpc.h): the port
// given to sd_rpc_physical_layer_create_uart names a scenario JSON file, and
// sd_rpc_open starts a board running that scenario. This header lets a test
// drive the board's time, provoke faults and look at what it was told.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/AttUuid.h"
#include "sim/BdAddress.h"
#include "sim/Bytes.h"
#include "sim/GattDatabase.h"
#include "sim/SimClock.h"

namespace lumen::sim {

struct Nrf52BoardOptions {
  // Real time suits demos; tests pick manual time and advance it themselves.
  SimClock::Mode clockMode = SimClock::Mode::kRealTime;
  // After sd_rpc_conn_reset(SYS_RESET) the board reboots and its USB port is
  // gone until it has re-enumerated: opens of the port fail meanwhile.
  std::chrono::milliseconds portAwayAfterSystemReset{1000};
};

// Applies to boards opened (sd_rpc_open) from now on.
void SetNrf52BoardOptions(const Nrf52BoardOptions& options);
Nrf52BoardOptions GetNrf52BoardOptions();

enum class Nrf52ScannerState { kStopped, kRunning, kPaused };

// A peer request the board's peripherals send after connecting, as phones do.
enum class Nrf52PeerRequest {
  kConnParamUpdate,   // BLE_GAP_EVT_CONN_PARAM_UPDATE_REQUEST
  kDataLengthUpdate,  // BLE_GAP_EVT_DATA_LENGTH_UPDATE_REQUEST
  kPhyUpdate,         // BLE_GAP_EVT_PHY_UPDATE_REQUEST
  kMtuExchange,       // BLE_GATTS_EVT_EXCHANGE_MTU_REQUEST
  kSysAttrMissing,    // BLE_GATTS_EVT_SYS_ATTR_MISSING
  kUserMemRequest,    // BLE_EVT_USER_MEM_REQUEST
};

struct Nrf52ConnectionInfo {
  uint16_t handle = 0;
  std::string peripheral;
  BdAddress address;
  uint8_t peerAddrType = 0;  // as given to sd_ble_gap_connect
  uint16_t minIntervalUnits = 0;
  uint16_t maxIntervalUnits = 0;
  uint16_t slaveLatency = 0;
  uint16_t supervisionTimeoutUnits = 0;
  bool rssiReporting = false;
  std::optional<int8_t> txPowerDbm;  // set with role CONN
  uint16_t attMtu = 23;
  std::vector<Nrf52PeerRequest> unanswered;  // requests still waiting for their reply
  std::vector<Nrf52PeerRequest> answered;
  size_t indicationsConfirmed = 0;
  size_t indicationsUnconfirmed = 0;
  bool disconnecting = false;  // sd_ble_gap_disconnect called, its event not yet delivered
};

struct Nrf52AdvertisingInfo {
  bool configured = false;  // an advertising set exists
  uint8_t handle = 0xFF;
  bool advertising = false;
  Bytes advData;  // in force now
  uint32_t intervalUnits = 0;
  uint8_t type = 0;
  std::optional<int8_t> txPowerDbm;  // set with role ADV
  size_t refusedConfigurations = 0;
};

struct Nrf52OnAirFrame {
  std::chrono::microseconds time{0};
  Bytes advData;
  uint32_t intervalUnits = 0;
};

// Configuration given with sd_ble_cfg_set before enabling.
struct Nrf52Configuration {
  std::optional<uint8_t> centralRoleCount;
  std::optional<uint8_t> advSetCount;
  std::optional<uint16_t> attMtu;
  std::optional<uint8_t> connCount;
  std::optional<uint16_t> eventLength;
  uint8_t connCfgTag = 0;
};

struct Nrf52Snapshot {
  bool open = false;
  bool enabled = false;  // sd_ble_enable succeeded
  Nrf52Configuration configuration;

  Nrf52ScannerState scanner = Nrf52ScannerState::kStopped;
  bool activeScanning = false;
  uint16_t scanIntervalUnits = 0;  // of the last start with parameters
  uint16_t scanWindowUnits = 0;
  size_t scanStartsRefused = 0;
  // pc-ble-driver registers the report buffer of every scan start in a pool of
  // eight slots, freed only by a report, a timeout or a successful stop. These
  // show how many are taken and whether the pool ever overflowed (the real
  // driver then writes out of bounds).
  size_t reportBufferSlotsInUse = 0;
  bool reportBufferPoolOverflowed = false;
  std::optional<int8_t> scanInitTxPowerDbm;

  std::vector<Nrf52ConnectionInfo> connections;
  bool connecting = false;
  Nrf52AdvertisingInfo advertising;
  size_t resets = 0;  // sd_rpc_conn_reset calls
};

// Faults a real board, its line or its peers show. Thread-safe.
class Nrf52Faults {
 public:
  virtual ~Nrf52Faults() = default;
  // Every later call fails as a dead transport does (NRF_ERROR_SD_RPC_SEND)
  // and no event arrives.
  virtual void StopAnswering() = 0;
  // The board's USB device goes away (unplugged): the driver reports
  // IO_RESOURCES_UNAVAILABLE at once; every later call gives up after the
  // link's retries with NRF_ERROR_SD_RPC_NO_RESPONSE (the first one also
  // reporting PKT_SEND_MAX_RETRIES_REACHED) and no event arrives. Opens of
  // the port fail until Replug.
  virtual void Unplug() = 0;
  // The port is there again for the next open.
  virtual void Replug() = 0;
  // The next `times` calls of `function` (e.g. "sd_ble_gap_scan_start") return
  // `result` and have no effect.
  virtual void FailNextCall(std::string_view function, uint32_t result, size_t times = 1) = 0;
  // The next `times` calls of `function` succeed but have no effect: the event
  // that would complete them never comes.
  virtual void IgnoreNextCall(std::string_view function, size_t times = 1) = 0;
  // The peer drops the link now.
  virtual bool DropConnection(uint16_t connHandle, uint8_t reason) = 0;
  // The peer drops the link instead of answering the next GATT procedure.
  virtual bool DisconnectDuringNextGattProcedure(uint16_t connHandle, uint8_t reason) = 0;
  // The next GATT procedure on the link ends in BLE_GATTC_EVT_TIMEOUT.
  virtual bool TimeOutNextGattProcedure(uint16_t connHandle) = 0;
  // The peer answers the next read on the link with this GATT status.
  virtual bool AnswerNextReadWithStatus(uint16_t connHandle, uint16_t gattStatus) = 0;
  // No advertisements are heard and no connection comes up.
  virtual void GoSilent() = 0;
  // The peer sends a request now; unanswered ones drop the link later.
  virtual bool SendPeerRequest(uint16_t connHandle, Nrf52PeerRequest request) = 0;
  virtual void Clear() = 0;
};

// The board behind the adapter that is open now.
class VirtualNrf52 {
 public:
  virtual ~VirtualNrf52() = default;

  virtual SimClock& Clock() = 0;
  virtual Nrf52Faults& Faults() = 0;
  virtual Nrf52Snapshot Snapshot() const = 0;
  virtual std::vector<Nrf52OnAirFrame> OnAir() const = 0;
  // The attribute table of a peripheral, with values as the client left them.
  virtual std::optional<GattDatabase> Database(std::string_view peripheral) const = 0;
  // The peer sends a notification or indication (as its client configuration
  // asks); false while the client has not switched them on.
  virtual bool Notify(std::string_view peripheral, const AttUuid& characteristic, const Bytes& value) = 0;

  // Names of the driver functions called so far, in order, with "(null)"
  // appended to sd_ble_gap_scan_start when it was called without parameters;
  // past 100000 calls only the latest ones.
  virtual std::vector<std::string> Calls() const = 0;
  // Calls of `function` so far: "sd_ble_gap_scan_start" counts starts and
  // resumes, "sd_ble_gap_scan_start(null)" resumes only.
  virtual size_t CallCount(std::string_view function) const = 0;
  // Blocks until `function` has been called `count` times in all (false on time-out).
  virtual bool WaitForCall(std::string_view function, size_t count, std::chrono::milliseconds timeout) = 0;
  // Blocks until every event produced so far has been handed to the event
  // handler and the handler has returned (false on time-out).
  virtual bool WaitUntilDelivered(std::chrono::milliseconds timeout) = 0;

  // Hands an arbitrary event (whose evt_len gives its size, header included)
  // to the event handler on the board's event thread, as if the board sent it.
  // With fromOtherAdapter the callback receives an adapter whose internal
  // pointer belongs to no open adapter.
  virtual void InjectEvent(const uint8_t* event, size_t length, bool fromOtherAdapter = false) = 0;
  // Status and log records to their callbacks, from the board's threads.
  virtual void InjectStatus(int code, const std::string& message) = 0;
  virtual void InjectLog(int severity, const std::string& message) = 0;

  // How long the line and the driver take. A call blocks for `call` of wall
  // time in real-time mode (manual time never blocks a call); an event,
  // status or log record reaches its callback `event` of board time after
  // the board produced it, so in manual time it stays in flight until the
  // test advances the clock that far. Until then it does not count as
  // produced for WaitUntilDelivered. Real-time boards start at 500 us and
  // 1 ms, manual ones at zero.
  virtual void SetLatency(std::chrono::microseconds call, std::chrono::microseconds event) = 0;
};

// The port of a board reset with SYS_RESET is back now, however long it was
// meant to be away.
void ReturnNrf52Port(const std::string& port);

// The board of the adapter open now; null when none is open.
std::shared_ptr<VirtualNrf52> OpenNrf52Board();
// Waits for a board to be open (false on time-out).
bool WaitForOpenNrf52Board(std::chrono::milliseconds timeout);

}  // namespace lumen::sim
