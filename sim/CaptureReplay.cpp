#include "sim/CaptureReplay.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>

#include "sim/BgapiCodec.h"
#include "sim/BgapiTable.h"
#include "sim/SerialLine.h"

namespace lumen::sim {

namespace {

using Micros = SimClock::Micros;

constexpr size_t kShownBytes = 24;

bool IsRadioRecord(const CaptureRecord& record) {
  switch (record.kind) {
    case CaptureRecord::kBgapiFromRadio:
    case CaptureRecord::kGarbage:
    case CaptureRecord::kPortOpened:
      return true;
    case CaptureRecord::kPortClosed:
      return !record.body.empty() && record.body[0] == 1;  // lost; a port the library closed stays
    default:
      return false;
  }
}

bool SameMessage(const Bytes& a, const Bytes& b) {
  return a.size() >= kBgapiHeaderSize && b.size() >= kBgapiHeaderSize && a[2] == b[2] && a[3] == b[3];
}

std::string ShownHex(const Bytes& bytes) {
  if (bytes.size() <= kShownBytes) return ToHex(bytes);
  return ToHex(Bytes(bytes.begin(), bytes.begin() + kShownBytes)) + " …";
}

// "ble_cmd_gap_discover (00 01 06 02 01)"
std::string Describe(const Bytes& command) {
  std::string name;
  if (command.size() >= kBgapiHeaderSize) name = BgapiFullName(BgapiKind::kCommand, command[2], command[3]);
  if (name.empty()) name = "an unknown command";
  return name + " (" + ShownHex(command) + ")";
}

}  // namespace

std::string ReplaySummary::Text() const {
  return "replay: " + std::to_string(commandsMatched) + " commands matched, " + std::to_string(commandsDiverged) +
         " diverged, " + std::to_string(commandsUnanswered) +
         " unanswered; captured commands: " + std::to_string(capturedSkipped) + " skipped, " +
         std::to_string(capturedNotSent) + " never sent; " + std::to_string(recordsPlayed) + " of " +
         std::to_string(radioRecords) + " radio records played";
}

// The serial line's thread hands over the host's commands; each walks the
// capture. Records due later are played by the clock's timers.
struct CaptureReplay::Impl : SerialLine::Receiver {
  struct Due {
    Micros at;
    size_t record;
    SimClock::TimerId timer;
  };

  Impl(Capture captured, CaptureReplayOptions replayOptions, SimClock& replayClock)
      : capture(std::move(captured)),
        options(std::move(replayOptions)),
        clock(replayClock),
        serial(*this, options.linkPath) {
    for (size_t i = 0; i < capture.records.size(); ++i) {
      const CaptureRecord& record = capture.records[i];
      if (record.kind == CaptureRecord::kBgapiToRadio) commands.push_back(i);
      if (IsRadioRecord(record)) ++counts.radioRecords;
    }
    lastActivity = std::chrono::steady_clock::now();
    // What the radio said before the host's first command goes out at once.
    std::lock_guard lock(mutex);
    const size_t first = commands.empty() ? capture.records.size() : commands.front();
    for (size_t i = 0; i < first; ++i) {
      if (IsRadioRecord(capture.records[i])) PlayLocked(i);
    }
  }

  // "record 12, +1.250000 s": its number as Wireshark counts packets, its time from the first record.
  std::string Where(size_t index) const {
    if (index >= capture.records.size()) return "no records";
    const uint64_t start = capture.records.front().timeUs;
    const uint64_t time = capture.records[index].timeUs;
    const uint64_t offset = time > start ? time - start : 0;
    char text[64];
    std::snprintf(text, sizeof(text), "record %zu, +%llu.%06llu s", index + 1,
                  static_cast<unsigned long long>(offset / 1000000), static_cast<unsigned long long>(offset % 1000000));
    return text;
  }

  void Emit(const std::vector<std::string>& lines) {
    std::lock_guard lock(reportMutex);
    for (const std::string& line : lines) {
      reports.push_back(line);
      if (options.report) options.report(line);
    }
    reported.notify_all();
  }

  // The radio's side of one record, in order with the output before it.
  void PlayLocked(size_t index) {
    const CaptureRecord& record = capture.records[index];
    ++counts.recordsPlayed;
    lastActivity = std::chrono::steady_clock::now();
    switch (record.kind) {
      case CaptureRecord::kBgapiFromRadio:
      case CaptureRecord::kGarbage:
        serial.Send(record.body);
        break;
      case CaptureRecord::kPortClosed:
        serial.Unplug();
        break;
      case CaptureRecord::kPortOpened:
        serial.Plug();
        break;
      default:
        break;
    }
  }

  bool FinishedLocked() const { return nextCommand >= commands.size() && pending.empty(); }

  void FlushPendingLocked() {
    for (const Due& due : pending) {
      clock.Cancel(due.timer);
      PlayLocked(due.record);
    }
    pending.clear();
  }

  void PlayDue(Micros due) {
    {
      std::lock_guard lock(mutex);
      while (!pending.empty() && pending.front().at <= due) {
        PlayLocked(pending.front().record);
        pending.pop_front();
      }
    }
    changed.notify_all();
  }

  // The radio records after the captured command `position`, up to the next one.
  void AnswerLocked(size_t position) {
    const size_t commandRecord = commands[position];
    nextCommand = position + 1;
    const size_t end = nextCommand < commands.size() ? commands[nextCommand] : capture.records.size();
    const Micros start = clock.Now();
    Micros last = start;
    for (size_t i = commandRecord + 1; i < end; ++i) {
      const CaptureRecord& record = capture.records[i];
      if (!IsRadioRecord(record)) continue;
      const uint64_t commandTime = capture.records[commandRecord].timeUs;
      const Micros offset{record.timeUs > commandTime ? record.timeUs - commandTime : 0};
      // Clock steps in the capture must not reorder what the radio said.
      const Micros at = std::max(last, start + offset);
      last = at;
      if (options.pace == ReplayPace::kFast || (at <= start && pending.empty())) {
        PlayLocked(i);
        continue;
      }
      pending.push_back(Due{at, i, 0});
      pending.back().timer = clock.ScheduleAt(at, [this](Micros due) { PlayDue(due); });
    }
  }

  void OnBytes(std::chrono::steady_clock::time_point when) override {
    std::lock_guard lock(mutex);
    lastActivity = when;
  }

  void OnCommand(const Bytes& frame) override {
    std::vector<std::string> lines;
    {
      std::lock_guard lock(mutex);
      const size_t number = ++hostCommands;
      lastActivity = std::chrono::steady_clock::now();
      // What the last command's answer still owed goes out before this one's.
      FlushPendingLocked();
      const std::string prefix = "replay: command " + std::to_string(number) + ": host sent " + Describe(frame);
      if (nextCommand >= commands.size()) {
        ++counts.commandsUnanswered;
        lines.push_back(prefix + " past the end of the capture (last " + Where(capture.records.size() - 1) +
                        "), left unanswered");
      } else {
        const size_t expectedRecord = commands[nextCommand];
        const Bytes& expected = capture.records[expectedRecord].body;
        const std::string differs = prefix + ", capture has " + Describe(expected) + " (" + Where(expectedRecord) + ")";
        if (expected == frame) {
          ++counts.commandsMatched;
          AnswerLocked(nextCommand);
        } else if (SameMessage(expected, frame)) {
          ++counts.commandsDiverged;
          lines.push_back(differs + "; answered from the capture");
          AnswerLocked(nextCommand);
        } else {
          std::optional<size_t> found;
          const size_t limit = std::min(commands.size(), nextCommand + 1 + options.lookAhead);
          for (size_t i = nextCommand + 1; i < limit && !found; ++i) {
            if (SameMessage(capture.records[commands[i]].body, frame)) found = i;
          }
          if (!found) {
            ++counts.commandsUnanswered;
            lines.push_back(differs + "; not in the capture, left unanswered");
          } else {
            std::string skipped;
            for (size_t i = nextCommand; i < *found; ++i) {
              const CaptureRecord& record = capture.records[commands[i]];
              if (!skipped.empty()) skipped += ", ";
              skipped += Describe(record.body) + " at " + Where(commands[i]);
            }
            const size_t count = *found - nextCommand;
            counts.capturedSkipped += count;
            const Bytes& there = capture.records[commands[*found]].body;
            std::string line = differs + "; skipped " + std::to_string(count) + " captured command" +
                               (count == 1 ? "" : "s") + " (" + skipped + ") to " + Where(commands[*found]);
            if (there == frame) {
              ++counts.commandsMatched;
            } else {
              ++counts.commandsDiverged;
              line += ", which has " + Describe(there) + "; answered from the capture";
            }
            lines.push_back(line);
            AnswerLocked(*found);
          }
        }
      }
      ++handled;
    }
    changed.notify_all();
    Emit(lines);
  }

  void OnNoCommand(const Bytes& bytes) override {
    std::vector<std::string> lines;
    {
      std::lock_guard lock(mutex);
      ++counts.commandsUnanswered;
      lines.push_back("replay: after command " + std::to_string(hostCommands) +
                      ": host sent bytes that are no command (" + ShownHex(bytes) + "), dropped");
    }
    Emit(lines);
  }

  const Capture capture;
  const CaptureReplayOptions options;
  SimClock& clock;
  std::vector<size_t> commands;  // indices of the captured commands

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  size_t nextCommand = 0;  // the captured command the host's next one should be
  std::deque<Due> pending;
  size_t hostCommands = 0;
  size_t handled = 0;
  ReplaySummary counts;
  std::chrono::steady_clock::time_point lastActivity;

  mutable std::mutex reportMutex;
  mutable std::condition_variable reported;
  std::vector<std::string> reports;

  // Last: its thread calls the members above until it is gone.
  SerialLine serial;
};

CaptureReplay::CaptureReplay(Capture capture, CaptureReplayOptions options)
    : m_clock(std::make_unique<SimClock>(options.clockMode)),
      m_impl(std::make_unique<Impl>(std::move(capture), std::move(options), *m_clock)) {
  m_impl->serial.Start();
}

CaptureReplay::~CaptureReplay() {
  m_clock->Stop();
  m_impl.reset();
}

SerialLine& CaptureReplay::Serial() const { return m_impl->serial; }

size_t CaptureReplay::CommandsHandled() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->handled;
}

bool CaptureReplay::WaitForCommands(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_impl->mutex);
  return m_impl->changed.wait_for(lock, timeout, [&] { return m_impl->handled >= count; });
}

bool CaptureReplay::Finished() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->FinishedLocked();
}

bool CaptureReplay::WaitUntilFinished(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_impl->mutex);
  return m_impl->changed.wait_for(lock, timeout, [&] { return m_impl->FinishedLocked(); });
}

std::chrono::steady_clock::time_point CaptureReplay::LastActivity() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->lastActivity;
}

std::vector<std::string> CaptureReplay::Reports() const {
  std::lock_guard lock(m_impl->reportMutex);
  return m_impl->reports;
}

bool CaptureReplay::WaitForReports(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_impl->reportMutex);
  return m_impl->reported.wait_for(lock, timeout, [&] { return m_impl->reports.size() >= count; });
}

ReplaySummary CaptureReplay::Summary() const {
  std::lock_guard lock(m_impl->mutex);
  ReplaySummary summary = m_impl->counts;
  summary.capturedNotSent = m_impl->commands.size() - m_impl->nextCommand;
  return summary;
}

}  // namespace lumen::sim
