#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/AttUuid.h"
#include "sim/BgapiCodec.h"
#include "sim/Bytes.h"
#include "sim/GattDatabase.h"
#include "sim/RfEnvironment.h"
#include "sim/Scenario.h"
#include "sim/SimClock.h"

namespace lumen::sim {

// Where the radio's output goes. Calls arrive with the engine's lock held, in
// the order the radio produces them; implementations only queue.
class Bled112Sink {
 public:
  virtual ~Bled112Sink() = default;
  virtual void Send(Bytes frame) = 0;
  virtual void Unplug() = 0;  // the USB device left the host
  virtual void Plug() = 0;    // and arrived again, as a new terminal
};

// One advertising event of the radio's own advertiser.
struct OnAirFrame {
  std::chrono::microseconds time{0};
  Bytes advData;
  Bytes scanResponse;
  uint8_t discoverableMode = 0;
  uint8_t connectableMode = 0;
  uint16_t intervalMinUnits = 0;  // 0.625 ms units
  uint16_t intervalMaxUnits = 0;
  uint8_t channels = 0;
};

// What the DFU boot loader has been given.
struct DfuImage {
  bool addressSet = false;
  uint32_t startAddress = 0;
  Bytes bytes;
  size_t blocks = 0;
  bool finished = false;
};

struct ConnectionInfo {
  uint8_t handle = 0;
  bool established = false;  // false: connect_direct still pending
  std::string peripheral;    // "" while pending
  BdAddress address;
  AddressType addressType = AddressType::kPublic;
  uint16_t intervalUnits = 0;  // 1.25 ms
  uint16_t timeoutUnits = 0;   // 10 ms
  uint16_t latency = 0;
};

// What the host has set on the radio; every boot starts from these defaults.
struct RadioSetup {
  bool discovering = false;
  uint8_t discoverMode = 0;
  bool duplicateFiltering = false;
  uint16_t scanIntervalUnits = 0x4B;  // 0.625 ms
  uint16_t scanWindowUnits = 0x32;
  bool activeScanning = true;
  uint16_t initiatingScanIntervalUnits = 0x4B;
  uint16_t initiatingScanWindowUnits = 0x32;
  uint8_t txPower = 0;
  uint16_t advIntervalMinUnits = 0x200;  // 0.625 ms
  uint16_t advIntervalMaxUnits = 0x200;
  uint8_t advChannels = 0x07;  // all three
  uint8_t discoverableMode = 0;
  uint8_t connectableMode = 0;
  Bytes advData;
  Bytes scanResponseData;
};

struct RadioSnapshot : RadioSetup {
  enum class Mode { kApplication, kBootLoader, kRebooting };

  Mode mode = Mode::kApplication;
  bool advertising = false;
  bool silent = false;
  std::vector<ConnectionInfo> connections;  // pending and established
  size_t resets = 0;                        // boots since start
};

// The BLED112/BLE113 firmware behind the serial line: takes decoded commands,
// keeps the radio's state, and sends responses and events through its sink.
// Every public call is thread-safe.
class Bled112Engine {
 public:
  using Micros = std::chrono::microseconds;

  Bled112Engine(const Scenario& scenario, SimClock& clock, Bled112Sink& sink);
  ~Bled112Engine();
  Bled112Engine(const Bled112Engine&) = delete;
  Bled112Engine& operator=(const Bled112Engine&) = delete;

  // Peripherals start advertising; before this the radio hears nothing.
  void Start();
  // Cancels every timer; the engine stays usable for inspection.
  void Stop();

  void HandleCommand(const BgapiMessage& command);
  // The radio's response to `command` carrying `result` in place of success
  // (other fields echo the command or are zero); empty for commands never answered.
  static Bytes ResponseWithResult(const BgapiMessage& command, uint16_t result);
  static bool IsNeverAnswered(const BgapiMessageDef& command);

  // Test hooks; each returns false when it had nothing to act on.
  void SendRadioError();
  void SetSilent(bool silent);
  bool DropConnection(uint8_t connection, uint16_t reason);
  bool DisconnectDuringNextGattProcedure(uint8_t connection, uint16_t reason);
  // The peer sends a notification (or indication, as its client configuration
  // asks); refused while the client has not switched them on.
  bool Notify(std::string_view peripheral, const AttUuid& characteristic, const Bytes& value);
  // The USB device arrives again after an unplug: it boots.
  void PowerCycle();

  RadioSnapshot Snapshot() const;
  std::vector<OnAirFrame> OnAir() const;
  DfuImage Dfu() const;
  // The attribute table of a peripheral, with values as the client left them.
  std::optional<GattDatabase> Database(std::string_view peripheral) const;
  const Scenario& GetScenario() const { return m_scenario; }

 private:
  enum class SlotState { kFree, kConnecting, kConnected };
  struct Slot {
    SlotState state = SlotState::kFree;
    size_t peripheral = 0;
    BdAddress address;
    AddressType addressType = AddressType::kPublic;
    uint16_t intervalUnits = 0;
    uint16_t timeoutUnits = 0;
    uint16_t latency = 0;
    uint64_t link = 0;  // identifies one link, so timers of an earlier one stand down
    SimClock::TimerId connectTimer = 0;
    std::vector<SimClock::TimerId> timers;
    uint32_t gattDrops = 0;
    uint16_t gattDropReason = 0;
  };

  // Output
  void Respond(std::string_view name, std::vector<BgapiValue> values);
  void Emit(std::string_view name, std::vector<BgapiValue> values);
  void RespondDefault(const BgapiMessage& command, uint16_t result);

  // Dispatch by class
  bool HandleSystem(const BgapiMessage& command);
  bool HandleConnection(const BgapiMessage& command);
  bool HandleAttclient(const BgapiMessage& command);
  bool HandleGap(const BgapiMessage& command);
  bool HandleHardware(const BgapiMessage& command);
  bool HandleDfu(const BgapiMessage& command);

  // System and boot
  void ScheduleReset(uint64_t delayMs, bool toBootLoader);
  void ResetNow(bool toBootLoader);
  void Boot(bool toBootLoader);
  // The application firmware runs and announces itself.
  void StartApplication();
  void ClearRadioState();
  void EmitConnectionStatus(uint8_t handle, uint8_t flags);

  // Scanning and the peripherals
  void ScheduleAdvert(size_t peripheral, Micros at);
  void OnPeripheralAdvert(size_t peripheral, Micros due);
  bool PassesDiscoveryFilter(const AdvertisingReport& report) const;
  void EmitScanResponse(const AdvertisingReport& report, uint8_t packetType, const Bytes& data);

  // Connections
  void HandleConnectDirect(const BgapiMessage& command);
  void TryConnect(uint8_t handle, Micros at);
  void Establish(uint8_t handle, size_t peripheral);
  void EndLink(uint8_t handle, std::optional<uint16_t> reason);
  void AddLinkTimer(uint8_t handle, Micros at, std::function<void()> action);
  Slot* ConnectedSlot(uint8_t handle);
  std::optional<uint8_t> ConnectingSlot() const;

  // Local advertising
  void StartLocalAdvertising();
  void StopLocalAdvertising();
  void ScheduleLocalAdvert(Micros at);
  void RecordOnAir(Micros at);
  Micros LocalAdvertInterval() const;

  // GATT client procedures
  // Answers the command; null when the procedure goes no further (not connected,
  // bad parameters, or the peer drops the link instead).
  Slot* BeginGattProcedure(const BgapiMessage& command, uint16_t parameterResult);
  // Counts a read against the peripheral's read behaviours; the result to complete it with, if one applies.
  std::optional<uint16_t> ScriptedReadResult(const Slot& slot, uint16_t attribute);
  // The value a read of `attribute` returns; null, with the result that refuses
  // the read in `refusal`, when the scenario or the attribute's permissions refuse it.
  const Bytes* ReadableValue(const Slot& slot, uint16_t attribute, uint16_t& refusal);
  void AfterWrite(uint8_t handle, uint16_t attribute, const Bytes& value);
  bool SendValueUpdate(uint8_t handle, uint16_t valueHandle, const Bytes& value);

  const Scenario m_scenario;
  SimClock& m_clock;
  Bled112Sink& m_sink;
  mutable std::recursive_mutex m_mutex;

  RfEnvironment m_environment;
  std::vector<GattDatabase> m_databases;           // per peripheral
  std::vector<uint32_t> m_gattDropsLeft;           // per peripheral, from its behaviour
  std::vector<std::vector<uint64_t>> m_readsSeen;  // per peripheral, one count per read behaviour
  std::vector<SimClock::TimerId> m_advertTimers;   // per peripheral
  bool m_started = false;

  RadioSnapshot::Mode m_mode = RadioSnapshot::Mode::kApplication;
  size_t m_boots = 0;
  SimClock::TimerId m_resetTimer = 0;
  SimClock::TimerId m_bootTimer = 0;

  RadioSetup m_setup;
  std::set<std::pair<BdAddress, uint8_t>> m_reported;  // for duplicate filtering

  std::vector<Slot> m_slots;
  uint64_t m_nextLink = 1;

  SimClock::TimerId m_localAdvertTimer = 0;
  uint64_t m_localAdvertRun = 0;  // timers of an earlier run stand down
  std::deque<OnAirFrame> m_onAir;

  DfuImage m_dfu;
};

}  // namespace lumen::sim
