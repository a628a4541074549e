#include "sim/VirtualBled112.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "sim/BgapiCodec.h"
#include "sim/SerialLine.h"

namespace lumen::sim {

namespace {

std::string SentName(const Bytes& frame) {
  if (frame.size() < kBgapiHeaderSize) return {};
  BgapiKind kind = (frame[0] & kBgapiEventBit) ? BgapiKind::kEvent : BgapiKind::kResponse;
  return BgapiFullName(kind, frame[2], frame[3]);
}

}  // namespace

// Between the radio and its serial line: the faults a test arms act on the
// commands going in and the frames coming out, and both are logged in the
// line's order.
struct VirtualBled112::Line : Bled112Sink, SerialLine::Receiver {
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

  Line(VirtualBled112& owner, std::string linkPath) : radio(owner), serial(*this, std::move(linkPath)) {}

  // Bled112Sink: called in the radio's order, with its lock held.
  void Send(Bytes frame) override {
    if (capturing && serial.OnLineThread()) {
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
    Bytes out = garbage;
    out.insert(out.end(), bytes.begin(), bytes.end());
    serial.Send(std::move(out), [&] {
      if (!garbage.empty()) {
        radio.m_log.AppendSent(Frame{Frame::Direction::kFromRadio, radio.m_clock->Now(), garbage, ""});
      }
      radio.m_log.AppendSent(Frame{Frame::Direction::kFromRadio, radio.m_clock->Now(), bytes, std::move(name)});
    });
  }

  void Unplug() override { serial.Unplug(); }
  void Plug() override { serial.Plug(); }

  // SerialLine::Receiver, on the line thread.
  void OnNoCommand(const Bytes& bytes) override {
    radio.m_log.AppendReceived(Frame{Frame::Direction::kToRadio, radio.m_clock->Now(), bytes, ""});
    radio.m_log.MarkReceivedHandled();
  }

  void OnCommand(const Bytes& frame) override {
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

  VirtualBled112& radio;
  mutable std::mutex mutex;
  bool stopAnswering = false;
  std::vector<Rule> rules;
  std::vector<OutputRule> outputRules;
  // Line thread only: a command's output held back to be cut short.
  std::atomic<bool> capturing{false};
  Bytes captured;
  // Last: its thread calls the members above until it is gone.
  SerialLine serial;
};

VirtualBled112::VirtualBled112(Scenario scenario, VirtualBled112Options options)
    : m_scenario(std::move(scenario)),
      m_options(std::move(options)),
      m_clock(std::make_unique<SimClock>(m_options.clockMode)),
      m_log(m_options.frameLogLimit) {
  if (m_options.variant) m_scenario.radio.variant = *m_options.variant;
  m_line = std::make_unique<Line>(*this, m_options.linkPath);
  m_engine = std::make_unique<Bled112Engine>(m_scenario, *m_clock, *m_line);
  m_line->serial.Start();
  m_engine->Start();
}

VirtualBled112::~VirtualBled112() {
  m_clock->Stop();
  m_engine->Stop();
  m_line->serial.Stop();
  m_engine.reset();
  m_line.reset();
}

SerialLine& VirtualBled112::Serial() const { return m_line->serial; }

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
