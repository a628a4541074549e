#pragma once

#include <cstdint>

#include "lumen/Export.h"

namespace lumen {

// Figures about the radio since the last Initialize, for operators and
// watchdogs. docs/health.md says what each one counts.
struct RadioHealth {
  // Advertisements
  uint64_t advertsReceived = 0;
  uint64_t advertsDropped = 0;
  // Seconds since the last advertisement was seen; UINT64_MAX when none yet.
  uint64_t secondsSinceLastAdvert = UINT64_MAX;

  // The byte stream from a Bluegiga radio
  uint64_t garbageBytes = 0;
  uint64_t framesMalformed = 0;

  // Commands to the radio
  uint64_t commandsSent = 0;
  uint64_t commandsAnswered = 0;
  uint64_t commandsTimedOut = 0;  // commandsNoResponse + commandsNoCompletingEvent
  uint64_t commandsNoResponse = 0;
  uint64_t commandsNoCompletingEvent = 0;

  // Failures, resets and the port
  uint64_t hardwareFailures = 0;
  uint64_t resetsRadioError = 0;
  uint64_t resetsWatchdog = 0;
  uint64_t resetsApplication = 0;
  uint64_t portLosses = 0;
  uint64_t timeAwayMs = 0;

  // Links and GATT
  uint64_t connectionsMade = 0;
  uint64_t connectionsFailed = 0;
  uint64_t connectionsDroppedByPeer = 0;
  uint64_t gattOk = 0;
  uint64_t gattFailed = 0;
  uint64_t notificationsDelivered = 0;
  uint64_t messageQueueHighWater = 0;
};

// A snapshot of the figures. Cheap, lock-free, callable from any thread, with
// or without an open radio.
LUMEN_API RadioHealth GetRadioHealth();

}  // namespace lumen
