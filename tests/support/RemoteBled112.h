#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumen::testing {

// A frame that crossed the virtual radio's serial line, as lumen-sim reports it.
struct RemoteFrame {
  std::string direction;  // "to_radio" or "from_radio"
  int64_t timeUs = 0;     // on the radio's clock
  std::string name;       // "ble_cmd_gap_discover", "ble_evt_…"; "" for stray bytes
  std::vector<uint8_t> bytes;
  nlohmann::json fields;  // decoded parameters: integers, hex text for arrays, address text

  // Both throw RemoteError when the frame has no such field.
  int64_t Int(const std::string& field) const;
  std::vector<uint8_t> Array(const std::string& field) const;
};

// The channel failed, or lumen-sim refused a request (the text is its reason).
class RemoteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The virtual BLED112 of a lumen-sim process, driven through its control
// channel (sim/README.md): the radio lives in another process, so a test can
// open its port as any application would, on Linux or on Windows. One
// request at a time; for one thread.
class RemoteBled112 {
 public:
  static constexpr std::chrono::milliseconds kReplyTimeout{30000};

  enum class Clock { kManual, kRealTime };
  struct LoadOptions {
    std::string variant;  // "dongle" or "module"; "" keeps the scenario's
    Clock clock = Clock::kManual;
  };
  struct Loaded {
    std::string path;  // the terminal
    size_t generation = 0;
  };

  // `address` is "127.0.0.1:PORT". Throws RemoteError when nothing answers there.
  explicit RemoteBled112(const std::string& address);
  ~RemoteBled112();
  RemoteBled112(const RemoteBled112&) = delete;
  RemoteBled112& operator=(const RemoteBled112&) = delete;

  // One request line out, one reply line back. Throws RemoteError when the
  // channel breaks or no reply comes within `timeout`; the connection is then closed.
  std::string Exchange(const std::string& line, std::chrono::milliseconds timeout = kReplyTimeout);
  // The reply to a request; throws RemoteError for {"ok":false}.
  nlohmann::json Call(const nlohmann::json& request, std::chrono::milliseconds timeout = kReplyTimeout);

  // A new radio with this scenario (JSON text) in place of the old; the port keeps its name.
  Loaded Load(const std::string& scenarioJson, const LoadOptions& options);
  Loaded Load(const std::string& scenarioJson) { return Load(scenarioJson, LoadOptions{}); }
  Loaded LoadFile(const std::string& path, const LoadOptions& options);
  std::string Path();
  size_t Generation();
  // The terminal once the radio is at that generation (after a re-enumeration); "" on time-out.
  std::string WaitForGeneration(size_t generation, std::chrono::milliseconds timeout);

  // Runs everything due in that time on the radio's clock; returns the new time.
  std::chrono::microseconds Advance(std::chrono::microseconds by);
  std::chrono::microseconds Now();

  // The faults of the radio and its line.
  void StopAnswering(bool on = true);
  void SendRadioError();
  void GoSilent(bool on = true);
  bool DropConnection(uint8_t connection, uint16_t reason = 0x0208);
  bool DisconnectDuringNextGattProcedure(uint8_t connection, uint16_t reason = 0x0208);
  void SendGarbage(const std::vector<uint8_t>& bytes);
  void CloseDuringNextCommand(const std::string& name = "", size_t bytesBeforeClose = 0);
  void FailNextCommand(const std::string& name, uint16_t result, size_t times = 1);
  void IgnoreNextCommand(const std::string& name, size_t times = 1);
  void LoseNextFrame(const std::string& name, size_t times = 1);
  void GarbageBeforeNextFrame(const std::string& name, const std::vector<uint8_t>& bytes);
  void Unplug();
  void Replug();
  void ClearFaults();

  // What went over the line. A command counts once the radio has handled it.
  std::optional<RemoteFrame> WaitForCommand(const std::string& name, std::chrono::milliseconds timeout,
                                            size_t occurrence = 1);
  std::optional<RemoteFrame> WaitForSent(const std::string& name, std::chrono::milliseconds timeout,
                                         size_t occurrence = 1);
  size_t CommandCount(const std::string& name);
  std::vector<RemoteFrame> Frames();
  std::vector<RemoteFrame> ReceivedCommands();
  std::vector<RemoteFrame> SentFrames();
  void ClearFrames();

  nlohmann::json OnAir();  // the radio's own advertising events
  nlohmann::json State();  // scan settings, connections, tx power, …
  nlohmann::json Dfu();    // what the boot loader has been given
  // The connected peer notifies a value; false when not connected or not subscribed.
  bool Notify(const std::string& peripheral, const std::string& characteristicUuid, const std::vector<uint8_t>& value);

 private:
  // A load request (`scenario` or `scenario_file` already in it) with the options.
  Loaded SendLoad(nlohmann::json request, const LoadOptions& options);
  std::optional<RemoteFrame> WaitForFrame(const char* request, const std::string& name,
                                          std::chrono::milliseconds timeout, size_t occurrence);

  struct Connection;
  std::unique_ptr<Connection> m_connection;
};

}  // namespace lumen::testing
