#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/CaptureFile.h"
#include "sim/SerialLine.h"
#include "sim/SimClock.h"

namespace lumen::sim {

enum class ReplayPace {
  kCaptured,  // each radio record at its captured offset from the command it follows
  kFast,      // each radio record as soon as the command it follows is in
};

struct CaptureReplayOptions {
  ReplayPace pace = ReplayPace::kCaptured;
  SimClock::Mode clockMode = SimClock::Mode::kManual;
  // When set, a symbolic link here always points at the current terminal (absent while it is hung up).
  std::string linkPath;
  // How many captured commands past the expected one a command out of place is looked for.
  size_t lookAhead = 16;
  // Each report line as it is made, without a newline; called on the replay's line thread, and must not
  // call the replay.
  std::function<void(const std::string&)> report;
};

struct ReplaySummary {
  size_t commandsMatched = 0;     // the host sent the captured bytes
  size_t commandsDiverged = 0;    // the captured message with other bytes, answered from the capture
  size_t commandsUnanswered = 0;  // not in the capture, past its end, or bytes that are no command
  size_t capturedSkipped = 0;     // captured commands the host passed over
  size_t capturedNotSent = 0;     // captured commands still ahead
  size_t recordsPlayed = 0;       // radio records sent (or hang-ups and arrivals acted out)
  size_t radioRecords = 0;        // radio records in the capture

  // The host sent the captured commands, all and in order.
  bool Followed() const {
    return commandsDiverged == 0 && commandsUnanswered == 0 && capturedSkipped == 0 && capturedNotSent == 0;
  }
  // "replay: 12 commands matched, …"
  std::string Text() const;
};

// Plays the radio's side of a BLED112 capture on a pseudo-terminal. The host
// opens Path() as its serial port; each command it sends is matched with the
// next captured one and answered with the radio records that followed it in the
// capture. Where the host departs from the capture, a report line says how.
// A port lost in the capture hangs the terminal up; it comes back at a new path.
class CaptureReplay : public SerialPort {
 public:
  // Throws std::system_error when no terminal is available.
  explicit CaptureReplay(Capture capture, CaptureReplayOptions options = {});
  ~CaptureReplay() override;
  CaptureReplay(const CaptureReplay&) = delete;
  CaptureReplay& operator=(const CaptureReplay&) = delete;

  // Paces the records at ReplayPace::kCaptured.
  SimClock& Clock() { return *m_clock; }

  // Host commands handled so far (answered or not).
  size_t CommandsHandled() const;
  // True once CommandsHandled() reaches `count`; its answers are then on their way or scheduled.
  bool WaitForCommands(size_t count, std::chrono::milliseconds timeout) const;
  // Every captured command is behind and every radio record has been played.
  bool Finished() const;
  bool WaitUntilFinished(std::chrono::milliseconds timeout) const;
  // When the host last sent a byte or the replay last played a record (the start if neither).
  std::chrono::steady_clock::time_point LastActivity() const;

  std::vector<std::string> Reports() const;
  // True once there are `count` report lines.
  bool WaitForReports(size_t count, std::chrono::milliseconds timeout) const;
  ReplaySummary Summary() const;

 private:
  struct Impl;
  SerialLine& Serial() const override;

  std::unique_ptr<SimClock> m_clock;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumen::sim
