#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "sim/RadioHost.h"

namespace lumen::sim {

// The control protocol of lumen-sim: one JSON request object in, one JSON reply
// object out, {"ok":true,...} or {"ok":false,"error":"..."}. sim/README.md lists
// the commands. Safe to call from several threads at once.
class ControlCommands {
 public:
  explicit ControlCommands(RadioHost& host) : m_host(host) {}

  // Never throws: a malformed line or a failed command becomes an error reply.
  std::string Execute(std::string_view line);

 private:
  nlohmann::ordered_json Run(const nlohmann::ordered_json& request);

  RadioHost& m_host;
};

}  // namespace lumen::sim
