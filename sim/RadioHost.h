#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>

#include "sim/Scenario.h"
#include "sim/SimClock.h"
#include "sim/VirtualBled112.h"

namespace lumen::sim {

// Asked of a host that has no radio (none loaded yet, or the last load failed).
class NoRadioError : public std::runtime_error {
 public:
  NoRadioError() : std::runtime_error("no radio: load a scenario first") {}
};

// The one virtual BLED112 of a lumen-sim process, which a control channel may
// replace while commands from other clients are using it. Thread-safe.
class RadioHost {
 public:
  // `linkPath`: kept pointing at the current radio's terminal ("" for none).
  explicit RadioHost(std::string linkPath);
  ~RadioHost();
  RadioHost(const RadioHost&) = delete;
  RadioHost& operator=(const RadioHost&) = delete;

  // Replaces the radio. The old one is gone, its link removed, before the new
  // one makes it again. Throws ScenarioError or std::system_error, and then
  // leaves no radio.
  void Load(Scenario scenario, const VirtualBled112Options& options);

  // Runs `use` with the current radio, which stays in place meanwhile; throws NoRadioError.
  void With(const std::function<void(VirtualBled112&)>& use) const;

  // Calls `attempt(radio, slice)` until it returns true or `timeout` has passed
  // (false then). Each attempt waits at most one short slice, so a load or a
  // shutdown never waits behind it: either ends the wait with an exception.
  bool Wait(std::chrono::milliseconds timeout,
            const std::function<bool(VirtualBled112&, std::chrono::milliseconds slice)>& attempt) const;

  // Ends every wait in progress and refuses new ones; the radio stays until destruction.
  void Shutdown();

  const std::string& LinkPath() const { return m_linkPath; }

 private:
  const std::string m_linkPath;
  mutable std::shared_mutex m_mutex;  // shared: a command uses the radio; unique: a load replaces it
  std::unique_ptr<VirtualBled112> m_radio;
  std::atomic<uint64_t> m_generation{0};  // loads so far; a wait that sees it change gives up
  std::atomic<bool> m_stopping{false};
};

}  // namespace lumen::sim
