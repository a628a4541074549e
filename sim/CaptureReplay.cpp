#include "sim/CaptureReplay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "sim/BgapiCodec.h"
#include "sim/BgapiTable.h"
#include "sim/PseudoTerminal.h"

namespace lumen::sim {

namespace {

using Micros = SimClock::Micros;

// As the virtual dongle: a partial command that sits this long is dropped, and
// a hang-up gives the host a moment to take the bytes written just before it.
constexpr std::chrono::milliseconds kPartialFrameTimeout{1000};
constexpr uint8_t kHighestClassId = 9;
constexpr std::chrono::milliseconds kArrivalBeforeHangup{300};
constexpr std::chrono::milliseconds kDrainBeforeHangup{500};
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

// One thread owns the terminal: it writes the radio's records in order, reads
// and cuts the host's commands and walks the capture with each. Records due
// later are played by the clock's timers.
struct CaptureReplay::Impl {
  enum class OutKind { kBytes, kHangup, kPlug };
  struct Out {
    OutKind kind;
    Bytes bytes;
  };
  struct Due {
    Micros at;
    size_t record;
    SimClock::TimerId timer;
  };

  Impl(Capture captured, CaptureReplayOptions replayOptions, SimClock& replayClock)
      : capture(std::move(captured)), options(std::move(replayOptions)), clock(replayClock) {
    for (size_t i = 0; i < capture.records.size(); ++i) {
      const CaptureRecord& record = capture.records[i];
      if (record.kind == CaptureRecord::kBgapiToRadio) commands.push_back(i);
      if (IsRadioRecord(record)) ++counts.radioRecords;
    }
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    terminal = std::make_unique<PseudoTerminal>();
    path = terminal->Path();
    UpdateLink(path);
    lastActivity = std::chrono::steady_clock::now();
    // What the radio said before the host's first command goes out at once.
    std::lock_guard lock(mutex);
    const size_t first = commands.empty() ? capture.records.size() : commands.front();
    for (size_t i = 0; i < first; ++i) {
      if (IsRadioRecord(capture.records[i])) PlayLocked(i);
    }
  }

  ~Impl() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    Wake();
    if (thread.joinable()) thread.join();
    terminal.reset();
    spare.reset();
    if (!options.linkPath.empty()) ::unlink(options.linkPath.c_str());
    ::close(wake[0]);
    ::close(wake[1]);
  }

  void Wake() {
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake[1], &byte, 1);
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
        if (plugged) out.push_back(Out{OutKind::kBytes, record.body});
        break;
      case CaptureRecord::kPortClosed:
        if (!plugged) return;
        plugged = false;
        out.push_back(Out{OutKind::kHangup, {}});
        ++controlsPending;
        break;
      case CaptureRecord::kPortOpened:
        if (plugged) return;
        plugged = true;
        out.push_back(Out{OutKind::kPlug, {}});
        ++controlsPending;
        break;
      default:
        return;
    }
    Wake();
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

  // Line thread: one whole command from the host.
  void OnCommand(const Bytes& frame) {
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

  void OnNoCommand(const Bytes& bytes) {
    std::vector<std::string> lines;
    {
      std::lock_guard lock(mutex);
      ++counts.commandsUnanswered;
      lines.push_back("replay: after command " + std::to_string(hostCommands) +
                      ": host sent bytes that are no command (" + ShownHex(bytes) + "), dropped");
    }
    Emit(lines);
  }

  // Points the link at `target`, or removes it for "".
  void UpdateLink(const std::string& target) {
    if (options.linkPath.empty()) return;
    ::unlink(options.linkPath.c_str());
    if (!target.empty() && ::symlink(target.c_str(), options.linkPath.c_str()) != 0) {
      std::perror(("lumen-sim: symlink " + options.linkPath).c_str());
    }
  }

  void NotifyPath(const std::string& newPath) {
    std::function<void(const std::string&)> callback;
    {
      std::lock_guard lock(mutex);
      callback = pathCallback;
    }
    if (callback) callback(newPath);
  }

  // Line thread from here on.
  void Run() {
    for (;;) {
      std::optional<Out> next;
      bool hurry = false;  // a hang-up waits behind this output: write what fits, drop the rest
      {
        std::lock_guard lock(mutex);
        if (stopping) return;
        hurry = controlsPending > 0;
        if (writing.empty() && !out.empty()) {
          next = std::move(out.front());
          out.pop_front();
          if (next->kind != OutKind::kBytes) --controlsPending;
        }
      }
      if (next) {
        if (next->kind == OutKind::kHangup) {
          Hangup();
        } else if (next->kind == OutKind::kPlug) {
          Plug();
        } else if (terminal) {
          writing = std::move(next->bytes);
          written = 0;
        }
        if (hurry && !writing.empty()) {
          WriteSome();
          wroteBeforeHangup = wroteBeforeHangup || written > 0;
          writing.clear();
        }
        continue;
      }
      PollOnce();
    }
  }

  void WriteSome() {
    while (terminal && written < writing.size()) {
      const ssize_t n = ::write(terminal->MasterFd(), writing.data() + written, writing.size() - written);
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
    if (written >= writing.size()) writing.clear();
  }

  void PollOnce() {
    pollfd fds[2] = {{wake[0], POLLIN, 0}, {-1, 0, 0}};
    nfds_t count = 1;
    if (terminal) {
      fds[1] = {terminal->MasterFd(), static_cast<short>(POLLIN | (writing.empty() ? 0 : POLLOUT)), 0};
      count = 2;
    }
    int timeoutMs = -1;
    if (!input.empty()) {
      const auto left = kPartialFrameTimeout - (std::chrono::steady_clock::now() - lastInput);
      timeoutMs = static_cast<int>(
          std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1));
    }
    const int ready = ::poll(fds, count, timeoutMs);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wake[0], drain, sizeof(drain)) > 0) {
      }
    }
    if (count == 2 && (fds[1].revents & POLLOUT)) WriteSome();
    if (count == 2 && (fds[1].revents & POLLIN)) {
      uint8_t buffer[4096];
      const ssize_t n = ::read(terminal->MasterFd(), buffer, sizeof(buffer));
      if (n > 0) {
        input.insert(input.end(), buffer, buffer + n);
        lastInput = std::chrono::steady_clock::now();
        {
          std::lock_guard lock(mutex);
          lastActivity = lastInput;
        }
        ProcessInput();
      }
    }
    if (!input.empty() && std::chrono::steady_clock::now() - lastInput >= kPartialFrameTimeout) DiscardInput();
  }

  void DiscardInput() {
    OnNoCommand(input);
    input.clear();
  }

  void ProcessInput() {
    while (input.size() >= kBgapiHeaderSize) {
      // A header no host would send: the stream is out of step; drop what is buffered.
      if ((input[0] & (kBgapiEventBit | kBgapiTechnologyMask)) || input[2] > kHighestClassId) {
        DiscardInput();
        return;
      }
      const size_t size = kBgapiHeaderSize + BgapiPayloadLength(input.data());
      if (input.size() < size) return;
      const Bytes frame(input.begin(), input.begin() + static_cast<long>(size));
      input.erase(input.begin(), input.begin() + static_cast<long>(size));
      OnCommand(frame);
    }
  }

  void Hangup() {
    // A hang-up discards what the host has not read: wait for the bytes written
    // just before to reach its side, then for it to take them, as the virtual dongle does.
    if (terminal && wroteBeforeHangup) {
      auto wait = [this](bool untilPending, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while ((terminal->PendingForHost() > 0) != untilPending && std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      };
      wait(true, kArrivalBeforeHangup);
      wait(false, kDrainBeforeHangup);
    }
    wroteBeforeHangup = false;
    {
      std::lock_guard lock(mutex);
      path.clear();
    }
    // Gone before the line goes, so a host that sees the hang-up finds no link.
    UpdateLink("");
    // Taken before this one goes, so the kernel cannot hand its number out again.
    try {
      spare = std::make_unique<PseudoTerminal>();
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "lumen-sim: no spare terminal: %s\n", e.what());
    }
    terminal.reset();
    input.clear();
    writing.clear();
    changed.notify_all();
    NotifyPath("");
  }

  void Plug() {
    try {
      terminal = spare ? std::move(spare) : std::make_unique<PseudoTerminal>();
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "lumen-sim: cannot create a terminal: %s\n", e.what());
      return;
    }
    const std::string newPath = terminal->Path();
    // In place before the new path is told, so whoever waits for it finds the link too.
    UpdateLink(newPath);
    {
      std::lock_guard lock(mutex);
      path = newPath;
      ++generation;
    }
    changed.notify_all();
    NotifyPath(newPath);
  }

  const Capture capture;
  const CaptureReplayOptions options;
  SimClock& clock;
  std::vector<size_t> commands;  // indices of the captured commands
  int wake[2] = {-1, -1};
  std::thread thread;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool stopping = false;
  size_t nextCommand = 0;  // the captured command the host's next one should be
  std::deque<Due> pending;
  size_t hostCommands = 0;
  size_t handled = 0;
  ReplaySummary counts;
  std::chrono::steady_clock::time_point lastActivity;
  bool plugged = true;  // as of the end of the output queue
  size_t controlsPending = 0;
  std::deque<Out> out;
  std::string path;
  size_t generation = 1;
  std::function<void(const std::string&)> pathCallback;

  mutable std::mutex reportMutex;
  mutable std::condition_variable reported;
  std::vector<std::string> reports;

  // Line thread only.
  std::unique_ptr<PseudoTerminal> terminal;
  std::unique_ptr<PseudoTerminal> spare;
  Bytes input;
  std::chrono::steady_clock::time_point lastInput;
  Bytes writing;
  size_t written = 0;
  bool wroteBeforeHangup = false;
};

CaptureReplay::CaptureReplay(Capture capture, CaptureReplayOptions options)
    : m_clock(std::make_unique<SimClock>(options.clockMode)),
      m_impl(std::make_unique<Impl>(std::move(capture), std::move(options), *m_clock)) {
  m_impl->thread = std::thread([impl = m_impl.get()] { impl->Run(); });
}

CaptureReplay::~CaptureReplay() {
  m_clock->Stop();
  m_impl.reset();
}

std::string CaptureReplay::Path() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->path;
}

size_t CaptureReplay::Generation() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->generation;
}

std::string CaptureReplay::WaitForGeneration(size_t generation, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_impl->mutex);
  if (!m_impl->changed.wait_for(lock, timeout,
                                [&] { return m_impl->generation >= generation && !m_impl->path.empty(); })) {
    return {};
  }
  return m_impl->path;
}

void CaptureReplay::SetPathCallback(std::function<void(const std::string&)> callback) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->pathCallback = std::move(callback);
}

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
