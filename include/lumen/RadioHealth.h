#pragma once

#include <cstdint>

#include "lumen/Export.h"

namespace lumen {

/// Figures about the radio since the last Initialize(), for operators and watchdogs; a recovery
/// that reopens the radio does not reset them, and they can still be read after UnInitialize().
/// docs/health.md says what each one counts and how to read them together.
struct RadioHealth {
  // Advertisements
  uint64_t advertsReceived = 0;  ///< Advertisements and scan responses handed to the scanners.
  uint64_t advertsDropped = 0;   ///< Of those, the ones no scanner processed (nothing to scan for).
  /// Seconds since the last advertisement was seen; UINT64_MAX when none yet.
  uint64_t secondsSinceLastAdvert = UINT64_MAX;

  // The byte stream from a Bluegiga radio
  uint64_t garbageBytes = 0;     ///< Bytes the BGAPI frame reader threw away; 0 for an nRF52.
  uint64_t framesMalformed = 0;  ///< Frames dropped whole for a payload that does not fit; 0 for an nRF52.

  // Commands to the radio
  uint64_t commandsSent = 0;               ///< Commands written to the radio.
  uint64_t commandsAnswered = 0;           ///< Responses that came back.
  uint64_t commandsTimedOut = 0;           ///< commandsNoResponse + commandsNoCompletingEvent
  uint64_t commandsNoResponse = 0;         ///< Commands whose response never came.
  uint64_t commandsNoCompletingEvent = 0;  ///< Accepted commands whose completing event never came.

  // Failures, resets and the port
  uint64_t hardwareFailures = 0;   ///< Times the hardware-failure callback was due (set or not).
  uint64_t resetsRadioError = 0;   ///< Resets after the radio reported a radio error.
  uint64_t resetsWatchdog = 0;     ///< Resets after 300 s of scanning without an advertisement.
  uint64_t resetsApplication = 0;  ///< Resets the application asked for (BluegigaCommands).
  uint64_t portLosses = 0;         ///< Times the radio's port went away without the library closing it.
  uint64_t timeAwayMs = 0;         ///< Total milliseconds the radio was away, counted when it is back.

  // Links and GATT
  uint64_t connectionsMade = 0;           ///< BluetoothDevice::Connect() calls that made a connection.
  uint64_t connectionsFailed = 0;         ///< BluetoothDevice::Connect() calls that failed to make one.
  uint64_t connectionsDroppedByPeer = 0;  ///< Links that ended without the library asking.
  uint64_t gattOk = 0;                    ///< GATT discoveries, reads and writes that succeeded.
  uint64_t gattFailed = 0;                ///< GATT discoveries, reads and writes that threw.
  uint64_t notificationsDelivered = 0;    ///< Values handed to a characteristic changed callback.
  /// The most callbacks ever waiting at once in the message queue that runs characteristic changed
  /// callbacks.
  uint64_t messageQueueHighWater = 0;
};

/// A snapshot of the figures, read one after the other (not as one transaction). Cheap,
/// lock-free, sends nothing to the radio; callable from any thread, library callbacks included,
/// with or without an open radio.
/// \return the figures.
LUMEN_API RadioHealth GetRadioHealth();

}  // namespace lumen
