#include "sim/VirtualBled112.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "sim/BgapiCodec.h"
#include "sim/PseudoTerminal.h"

namespace lumen::sim {

namespace {

// A partial command that sits longer than this is dropped, so one stray byte
// cannot shift every later frame.
constexpr std::chrono::milliseconds kPartialFrameTimeout{1000};
constexpr uint8_t kHighestClassId = 9;
// How long a hang-up waits for its last bytes to reach the host, then for the host to read them.
constexpr std::chrono::milliseconds kArrivalBeforeHangup{300};
constexpr std::chrono::milliseconds kDrainBeforeHangup{500};
constexpr size_t kQueueLimit = 100000;  // frames

std::string SentName(const Bytes& frame) {
  if (frame.size() < kBgapiHeaderSize) return {};
  BgapiKind kind = (frame[0] & kBgapiEventBit) ? BgapiKind::kEvent : BgapiKind::kResponse;
  return BgapiFullName(kind, frame[2], frame[3]);
}

}  // namespace

// The serial line: one thread owns the terminal, writes the radio's output in
// order, reads and frames the host's commands and hands them to the radio.
struct VirtualBled112::Line : Bled112Sink {
  enum class ItemKind { kBytes, kUnplug, kPlug };
  struct Item {
    ItemKind kind;
    Bytes bytes;
  };
  enum class RuleKind { kFail, kIgnore, kClose };
  struct Rule {
    RuleKind kind;
    std::string name;
    uint16_t result = 0;
    size_t times = 1;
    size_t bytesBeforeClose = 0;
  };
  // On the radio's output: the frame is lost, or goes out behind the garbage.
  struct OutputRule {
    std::string name;
    size_t times = 1;
    bool lose = false;
    Bytes garbage;
  };

  Line(VirtualBled112& owner, std::string linkPath) : radio(owner), link(std::move(linkPath)) {
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    terminal = std::make_unique<PseudoTerminal>();
    path = terminal->Path();
    UpdateLink();
  }

  ~Line() override {
    Stop();
    terminal.reset();
    spare.reset();
    if (!link.empty()) ::unlink(link.c_str());
    ::close(wake[0]);
    ::close(wake[1]);
  }

  void Start() {
    thread = std::thread([this] { Run(); });
  }

  void Stop() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    Wake();
    if (thread.joinable()) thread.join();
  }

  void Wake() {
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake[1], &byte, 1);
  }

  // Bled112Sink: called in the radio's order, with its lock held.
  void Send(Bytes frame) override {
    if (capturing && std::this_thread::get_id() == thread.get_id()) {
      captured.insert(captured.end(), frame.begin(), frame.end());
      return;
    }
    std::string name = SentName(frame);
    Bytes garbage;
    if (auto rule = TakeOutputRule(name)) {
      if (rule->lose) return;
      garbage = std::move(rule->garbage);
    }
    Enqueue(std::move(frame), std::move(name), std::move(garbage));
  }

  // `garbage` goes out in front of the bytes, as one write.
  void Enqueue(Bytes bytes, std::string name, Bytes garbage = {}) {
    {
      std::lock_guard lock(mutex);
      if (!plugged) return;
      if (!garbage.empty()) {
        radio.m_log.AppendSent(Frame{Frame::Direction::kFromRadio, radio.m_clock->Now(), garbage, ""});
      }
      radio.m_log.AppendSent(Frame{Frame::Direction::kFromRadio, radio.m_clock->Now(), bytes, std::move(name)});
      if (!garbage.empty()) {
        garbage.insert(garbage.end(), bytes.begin(), bytes.end());
        bytes = std::move(garbage);
      }
      queue.push_back(Item{ItemKind::kBytes, std::move(bytes)});
      // Nobody reading: like a device whose host stopped draining it, the oldest output is lost.
      if (queue.size() > kQueueLimit && controlsPending == 0) queue.pop_front();
    }
    Wake();
  }

  void Unplug() override {
    {
      std::lock_guard lock(mutex);
      if (!plugged) return;
      plugged = false;
      queue.push_back(Item{ItemKind::kUnplug, {}});
      ++controlsPending;
    }
    Wake();
  }

  void Plug() override {
    {
      std::lock_guard lock(mutex);
      if (plugged) return;
      plugged = true;
      queue.push_back(Item{ItemKind::kPlug, {}});
      ++controlsPending;
    }
    Wake();
  }

  void UpdateLink() {
    if (link.empty()) return;
    ::unlink(link.c_str());
    if (!path.empty() && ::symlink(path.c_str(), link.c_str()) != 0) {
      std::perror(("lumen-sim: symlink " + link).c_str());
    }
  }

  // Line thread from here on.
  void Run() {
    for (;;) {
      std::optional<Item> next;
      bool hurry = false;  // a hang-up waits behind this output: write what fits, drop the rest
      {
        std::lock_guard lock(mutex);
        if (stopping) return;
        hurry = controlsPending > 0;
        if (writing.empty() && !queue.empty()) {
          next = std::move(queue.front());
          queue.pop_front();
          if (next->kind != ItemKind::kBytes) --controlsPending;
        }
      }
      if (next) {
        if (next->kind == ItemKind::kUnplug) {
          DoUnplug();
        } else if (next->kind == ItemKind::kPlug) {
          DoPlug();
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
      ssize_t n = ::write(terminal->MasterFd(), writing.data() + written, writing.size() - written);
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
      auto left = kPartialFrameTimeout - (std::chrono::steady_clock::now() - lastInput);
      timeoutMs = static_cast<int>(
          std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1));
    }
    int ready = ::poll(fds, count, timeoutMs);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wake[0], drain, sizeof(drain)) > 0) {
      }
    }
    if (count == 2 && (fds[1].revents & POLLOUT)) WriteSome();
    if (count == 2 && (fds[1].revents & POLLIN)) {
      uint8_t buffer[4096];
      ssize_t n = ::read(terminal->MasterFd(), buffer, sizeof(buffer));
      if (n > 0) {
        input.insert(input.end(), buffer, buffer + n);
        lastInput = std::chrono::steady_clock::now();
        ProcessInput();
      }
    }
    if (!input.empty() && std::chrono::steady_clock::now() - lastInput >= kPartialFrameTimeout) DiscardInput();
  }

  void DiscardInput() {
    radio.m_log.AppendReceived(Frame{Frame::Direction::kToRadio, radio.m_clock->Now(), input, ""});
    radio.m_log.MarkReceivedHandled();
    input.clear();
  }

  void ProcessInput() {
    while (input.size() >= kBgapiHeaderSize) {
      // A header no host would send: the stream is out of step; drop what is buffered.
      if ((input[0] & (kBgapiEventBit | kBgapiTechnologyMask)) || input[2] > kHighestClassId) {
        DiscardInput();
        return;
      }
      size_t size = kBgapiHeaderSize + BgapiPayloadLength(input.data());
      if (input.size() < size) return;
      Bytes frame(input.begin(), input.begin() + static_cast<long>(size));
      input.erase(input.begin(), input.begin() + static_cast<long>(size));
      HandleFrame(frame);
      std::lock_guard lock(mutex);
      if (!plugged) {
        // The device left while handling it; what else was buffered is lost with it.
        input.clear();
        return;
      }
    }
  }

  void HandleFrame(const Bytes& frame) {
    BgapiDecoded decoded = DecodeBgapi(frame.data(), frame.size(), true);
    std::string name = decoded.message ? decoded.message->def->FullName() : "";
    radio.m_log.AppendReceived(Frame{Frame::Direction::kToRadio, radio.m_clock->Now(), frame, name});
    if (decoded.message) Dispatch(*decoded.message);
    radio.m_log.MarkReceivedHandled();
  }

  std::optional<Rule> TakeRule(const BgapiMessage& command) {
    std::lock_guard lock(mutex);
    if (stopAnswering) return Rule{RuleKind::kIgnore, "", 0, 1, 0};
    for (auto rule = rules.begin(); rule != rules.end(); ++rule) {
      Frame probe;
      probe.name = command.def->FullName();
      if (!rule->name.empty() && !probe.Matches(rule->name)) continue;
      Rule taken = *rule;
      if (--rule->times == 0) rules.erase(rule);
      return taken;
    }
    return std::nullopt;
  }

  std::optional<OutputRule> TakeOutputRule(const std::string& name) {
    std::lock_guard lock(mutex);
    Frame probe;
    probe.name = name;
    for (auto rule = outputRules.begin(); rule != outputRules.end(); ++rule) {
      if (!probe.Matches(rule->name)) continue;
      OutputRule taken = *rule;
      if (--rule->times == 0) outputRules.erase(rule);
      return taken;
    }
    return std::nullopt;
  }

  void Dispatch(const BgapiMessage& command) {
    auto rule = TakeRule(command);
    if (!rule) {
      radio.m_engine->HandleCommand(command);
      return;
    }
    switch (rule->kind) {
      case RuleKind::kIgnore:
        return;
      case RuleKind::kFail: {
        Bytes response = Bled112Engine::ResponseWithResult(command, rule->result);
        std::string name = SentName(response);
        if (!response.empty()) Enqueue(std::move(response), std::move(name));
        return;
      }
      case RuleKind::kClose: {
        capturing = true;
        radio.m_engine->HandleCommand(command);
        capturing = false;
        Bytes partial(captured.begin(),
                      captured.begin() + static_cast<long>(std::min(rule->bytesBeforeClose, captured.size())));
        captured.clear();
        if (!partial.empty()) Enqueue(std::move(partial), "");
        Unplug();
        return;
      }
    }
  }

  void DoUnplug() {
    // A hang-up discards what the host has not read; give it a moment to take
    // the bytes written just before, as a host reading a USB device would
    // before it vanishes. They reach the host's side asynchronously, so first
    // wait for them to show up there, then for them to be gone.
    if (terminal && wroteBeforeHangup) {
      auto wait = [this](bool untilPending, std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
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
    // The next terminal is taken before this one is let go, so the kernel
    // cannot hand the same number out again: the dongle returns at a new path.
    try {
      spare = std::make_unique<PseudoTerminal>();
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "lumen-sim: no spare terminal: %s\n", e.what());
    }
    terminal.reset();
    input.clear();
    writing.clear();
    UpdateLink();
    changed.notify_all();
    NotifyPath("");
  }

  void DoPlug() {
    try {
      terminal = spare ? std::move(spare) : std::make_unique<PseudoTerminal>();
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "lumen-sim: cannot create a terminal: %s\n", e.what());
      return;
    }
    std::string newPath = terminal->Path();
    {
      std::lock_guard lock(mutex);
      path = newPath;
      ++generation;
    }
    UpdateLink();
    changed.notify_all();
    NotifyPath(newPath);
  }

  void NotifyPath(const std::string& newPath) {
    std::function<void(const std::string&)> callback;
    {
      std::lock_guard lock(mutex);
      callback = pathCallback;
    }
    if (callback) callback(newPath);
  }

  VirtualBled112& radio;
  const std::string link;
  int wake[2] = {-1, -1};
  std::thread thread;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool stopping = false;
  bool plugged = true;  // as of the end of the queue
  size_t controlsPending = 0;
  std::deque<Item> queue;
  std::string path;
  size_t generation = 1;
  std::function<void(const std::string&)> pathCallback;
  bool stopAnswering = false;
  std::vector<Rule> rules;
  std::vector<OutputRule> outputRules;

  // Line thread only.
  std::unique_ptr<PseudoTerminal> terminal;
  std::unique_ptr<PseudoTerminal> spare;
  Bytes input;
  std::chrono::steady_clock::time_point lastInput;
  Bytes writing;
  size_t written = 0;
  bool wroteBeforeHangup = false;
  std::atomic<bool> capturing{false};
  Bytes captured;
};

VirtualBled112::VirtualBled112(Scenario scenario, VirtualBled112Options options)
    : m_scenario(std::move(scenario)),
      m_options(std::move(options)),
      m_clock(std::make_unique<SimClock>(m_options.clockMode)),
      m_log(m_options.frameLogLimit) {
  if (m_options.variant) m_scenario.radio.variant = *m_options.variant;
  m_line = std::make_unique<Line>(*this, m_options.linkPath);
  m_engine = std::make_unique<Bled112Engine>(m_scenario, *m_clock, *m_line);
  m_line->Start();
  m_engine->Start();
}

VirtualBled112::~VirtualBled112() {
  m_clock->Stop();
  m_engine->Stop();
  m_line->Stop();
  m_engine.reset();
  m_line.reset();
}

std::string VirtualBled112::Path() const {
  std::lock_guard lock(m_line->mutex);
  return m_line->path;
}

size_t VirtualBled112::Generation() const {
  std::lock_guard lock(m_line->mutex);
  return m_line->generation;
}

std::string VirtualBled112::WaitForGeneration(size_t generation, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_line->mutex);
  if (!m_line->changed.wait_for(lock, timeout,
                                [&] { return m_line->generation >= generation && !m_line->path.empty(); })) {
    return {};
  }
  return m_line->path;
}

void VirtualBled112::SetPathCallback(std::function<void(const std::string&)> callback) {
  std::lock_guard lock(m_line->mutex);
  m_line->pathCallback = std::move(callback);
}

std::vector<Frame> VirtualBled112::Frames() const { return m_log.All(); }
std::vector<Frame> VirtualBled112::ReceivedCommands() const { return m_log.Received(); }
std::vector<Frame> VirtualBled112::SentFrames() const { return m_log.Sent(); }

size_t VirtualBled112::CommandCount(std::string_view name) const {
  return m_log.Count(Frame::Direction::kToRadio, name);
}

std::optional<Frame> VirtualBled112::WaitForCommand(std::string_view name, std::chrono::milliseconds timeout,
                                                    size_t occurrence) const {
  return m_log.WaitFor(Frame::Direction::kToRadio, name, occurrence, timeout);
}

std::optional<Frame> VirtualBled112::WaitForSent(std::string_view name, std::chrono::milliseconds timeout,
                                                 size_t occurrence) const {
  return m_log.WaitFor(Frame::Direction::kFromRadio, name, occurrence, timeout);
}

void VirtualBled112::ClearFrames() { m_log.Clear(); }
std::vector<OnAirFrame> VirtualBled112::OnAir() const { return m_engine->OnAir(); }
DfuImage VirtualBled112::Dfu() const { return m_engine->Dfu(); }
RadioSnapshot VirtualBled112::State() const { return m_engine->Snapshot(); }

std::optional<GattDatabase> VirtualBled112::Database(std::string_view peripheral) const {
  return m_engine->Database(peripheral);
}

bool VirtualBled112::Notify(std::string_view peripheral, std::string_view characteristicUuid, const Bytes& value) {
  return m_engine->Notify(peripheral, AttUuid::Parse(characteristicUuid), value);
}

void VirtualBled112::FaultControl::StopAnswering(bool on) {
  std::lock_guard lock(m_radio.m_line->mutex);
  m_radio.m_line->stopAnswering = on;
}

void VirtualBled112::FaultControl::SendRadioError() { m_radio.m_engine->SendRadioError(); }

void VirtualBled112::FaultControl::GoSilent(bool on) { m_radio.m_engine->SetSilent(on); }

bool VirtualBled112::FaultControl::DropConnection(uint8_t connection, uint16_t reason) {
  return m_radio.m_engine->DropConnection(connection, reason);
}

bool VirtualBled112::FaultControl::DisconnectDuringNextGattProcedure(uint8_t connection, uint16_t reason) {
  return m_radio.m_engine->DisconnectDuringNextGattProcedure(connection, reason);
}

void VirtualBled112::FaultControl::SendGarbage(Bytes bytes) { m_radio.m_line->Enqueue(std::move(bytes), ""); }

void VirtualBled112::FaultControl::CloseDuringNextCommand(std::string_view name, size_t bytesBeforeClose) {
  std::lock_guard lock(m_radio.m_line->mutex);
  m_radio.m_line->rules.push_back(Line::Rule{Line::RuleKind::kClose, std::string(name), 0, 1, bytesBeforeClose});
}

void VirtualBled112::FaultControl::FailNextCommand(std::string_view name, uint16_t result, size_t times) {
  if (times == 0) return;
  std::lock_guard lock(m_radio.m_line->mutex);
  m_radio.m_line->rules.push_back(Line::Rule{Line::RuleKind::kFail, std::string(name), result, times, 0});
}

void VirtualBled112::FaultControl::IgnoreNextCommand(std::string_view name, size_t times) {
  if (times == 0) return;
  std::lock_guard lock(m_radio.m_line->mutex);
  m_radio.m_line->rules.push_back(Line::Rule{Line::RuleKind::kIgnore, std::string(name), 0, times, 0});
}

void VirtualBled112::FaultControl::LoseNextFrame(std::string_view name, size_t times) {
  if (times == 0) return;
  std::lock_guard lock(m_radio.m_line->mutex);
  m_radio.m_line->outputRules.push_back(Line::OutputRule{std::string(name), times, true, {}});
}

void VirtualBled112::FaultControl::GarbageBeforeNextFrame(std::string_view name, Bytes garbage) {
  std::lock_guard lock(m_radio.m_line->mutex);
  m_radio.m_line->outputRules.push_back(Line::OutputRule{std::string(name), 1, false, std::move(garbage)});
}

void VirtualBled112::FaultControl::Unplug() { m_radio.m_line->Unplug(); }

void VirtualBled112::FaultControl::Replug() {
  m_radio.m_line->Unplug();
  m_radio.m_line->Plug();
  m_radio.m_engine->PowerCycle();
}

void VirtualBled112::FaultControl::Clear() {
  {
    std::lock_guard lock(m_radio.m_line->mutex);
    m_radio.m_line->rules.clear();
    m_radio.m_line->outputRules.clear();
    m_radio.m_line->stopAnswering = false;
  }
  m_radio.m_engine->SetSilent(false);
}

}  // namespace lumen::sim
