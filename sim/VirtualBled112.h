#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Bled112Engine.h"
#include "sim/Bytes.h"
#include "sim/FrameLog.h"
#include "sim/GattDatabase.h"
#include "sim/Scenario.h"
#include "sim/SerialLine.h"
#include "sim/SimClock.h"

namespace lumen::sim {

struct VirtualBled112Options {
  std::optional<DeviceVariant> variant;  // overrides the scenario's
  SimClock::Mode clockMode = SimClock::Mode::kManual;
  // When set, a symbolic link here always points at the current terminal (and
  // is absent while the dongle is away), like a port name that survives
  // re-enumeration.
  std::string linkPath;
  size_t frameLogLimit = 0;  // 0 keeps every frame
};

// A Bluegiga BLED112 dongle or BLE113 module at the far end of a
// pseudo-terminal, with the peripherals of a scenario in range. The host side
// opens Path() as its serial port and speaks BGAPI to it; a re-enumeration
// after a reset, or Replug, moves it to a new path.
class VirtualBled112 : public SerialPort {
 public:
  // Faults a test can provoke; every call is thread-safe.
  class FaultControl {
   public:
    // Commands are still read and logged but get no answer at all.
    void StopAnswering(bool on = true);
    void SendRadioError();
    // No advertisement reaches the radio, and no connection can be made.
    void GoSilent(bool on = true);
    // The peer drops an established link; false when there is none.
    bool DropConnection(uint8_t connection, uint16_t reason = 0x0208);
    // The next GATT procedure on the link is answered by the radio, then the peer drops the link.
    bool DisconnectDuringNextGattProcedure(uint8_t connection, uint16_t reason = 0x0208);
    // Raw bytes on the line, in order with the radio's other output.
    void SendGarbage(Bytes bytes);
    // On the next command of that name ("" for any), the radio handles it, writes
    // the first `bytesBeforeClose` bytes of its output and the terminal hangs up.
    void CloseDuringNextCommand(std::string_view name = "", size_t bytesBeforeClose = 0);
    // The next `times` commands of that name are answered with `result` and have
    // no other effect (a response without a result field echoes the command).
    void FailNextCommand(std::string_view name, uint16_t result, size_t times = 1);
    // The next `times` commands of that name get no answer.
    void IgnoreNextCommand(std::string_view name, size_t times = 1);
    // The next `times` responses or events of that name are lost on the way to
    // the host (the radio acts as if they had gone out).
    void LoseNextFrame(std::string_view name, size_t times = 1);
    // The next response or event of that name reaches the host behind these
    // bytes, in the same write to the terminal.
    void GarbageBeforeNextFrame(std::string_view name, Bytes garbage);
    // The USB device leaves: the terminal hangs up and Path() becomes "".
    void Unplug();
    // It comes back as a new terminal at a new path and boots (system boot event).
    void Replug();
    // Disarms every rule above and ends StopAnswering and GoSilent.
    void Clear();

   private:
    friend class VirtualBled112;
    explicit FaultControl(VirtualBled112& radio) : m_radio(radio) {}
    VirtualBled112& m_radio;
  };

  // Throws ScenarioError for a scenario the radio cannot run and
  // std::system_error when no terminal is available.
  explicit VirtualBled112(Scenario scenario, VirtualBled112Options options = {});
  ~VirtualBled112() override;
  VirtualBled112(const VirtualBled112&) = delete;
  VirtualBled112& operator=(const VirtualBled112&) = delete;

  SimClock& Clock() { return *m_clock; }
  FaultControl& Faults() { return m_faults; }

  // The line, both directions, in order. Commands count for the waits once handled.
  std::vector<Frame> Frames() const;
  std::vector<Frame> ReceivedCommands() const;
  std::vector<Frame> SentFrames() const;
  size_t CommandCount(std::string_view name) const;
  // The occurrence-th command of that name ("gap_discover" or "ble_cmd_gap_discover")
  // once the radio has handled it; nullopt after `timeout`.
  std::optional<Frame> WaitForCommand(std::string_view name, std::chrono::milliseconds timeout,
                                      size_t occurrence = 1) const;
  // The occurrence-th response or event of that name the radio has sent.
  std::optional<Frame> WaitForSent(std::string_view name, std::chrono::milliseconds timeout,
                                   size_t occurrence = 1) const;
  void ClearFrames();

  // The radio's own advertising events, with their times on the sim clock.
  std::vector<OnAirFrame> OnAir() const;
  DfuImage Dfu() const;
  RadioSnapshot State() const;
  std::optional<GattDatabase> Database(std::string_view peripheral) const;
  const Scenario& GetScenario() const { return m_scenario; }

  // The connected peer sends a notification (or indication) of a characteristic
  // value; false when it is not connected or the client has not subscribed.
  bool Notify(std::string_view peripheral, std::string_view characteristicUuid, const Bytes& value);

 private:
  struct Line;
  friend class FaultControl;
  SerialLine& Serial() const override;

  Scenario m_scenario;
  VirtualBled112Options m_options;
  std::unique_ptr<SimClock> m_clock;
  FrameLog m_log;
  std::unique_ptr<Line> m_line;
  std::unique_ptr<Bled112Engine> m_engine;
  FaultControl m_faults{*this};
};

}  // namespace lumen::sim
