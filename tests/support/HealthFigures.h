#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "lumen/RadioHealth.h"

namespace lumen::testing {

using Figures = std::map<std::string, uint64_t>;

// The figures that name a fault or an outcome; the traffic figures (commands
// sent and answered, advertisements received, their age, the queue's
// high-water mark) move with any use of the radio.
inline Figures FaultFigures(const RadioHealth& h) {
  return {{"advertsDropped", h.advertsDropped},
          {"garbageBytes", h.garbageBytes},
          {"framesMalformed", h.framesMalformed},
          {"commandsTimedOut", h.commandsTimedOut},
          {"commandsNoResponse", h.commandsNoResponse},
          {"commandsNoCompletingEvent", h.commandsNoCompletingEvent},
          {"hardwareFailures", h.hardwareFailures},
          {"resetsRadioError", h.resetsRadioError},
          {"resetsWatchdog", h.resetsWatchdog},
          {"resetsApplication", h.resetsApplication},
          {"portLosses", h.portLosses},
          {"timeAwayMs", h.timeAwayMs},
          {"connectionsMade", h.connectionsMade},
          {"connectionsFailed", h.connectionsFailed},
          {"connectionsDroppedByPeer", h.connectionsDroppedByPeer},
          {"gattOk", h.gattOk},
          {"gattFailed", h.gattFailed},
          {"notificationsDelivered", h.notificationsDelivered}};
}

// What moved from `before` to now, by how much.
inline Figures MovedSince(const RadioHealth& before) {
  const Figures then = FaultFigures(before);
  Figures moved;
  for (const auto& [name, value] : FaultFigures(GetRadioHealth())) {
    if (value != then.at(name)) {
      moved[name] = value - then.at(name);
    }
  }
  return moved;
}

}  // namespace lumen::testing
