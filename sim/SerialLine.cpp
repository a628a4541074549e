#include "sim/SerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <system_error>

#include "sim/BgapiCodec.h"
#include "sim/PseudoTerminal.h"

namespace lumen::sim {

namespace {

// A partial command that sits longer than this is dropped, so one stray byte
// cannot shift every later frame.
constexpr std::chrono::milliseconds kPartialFrameTimeout{1000};
// How long a hang-up waits for its last bytes to reach the host, then for the host to read them.
constexpr std::chrono::milliseconds kArrivalBeforeHangup{300};
constexpr std::chrono::milliseconds kDrainBeforeHangup{500};
constexpr size_t kQueueLimit = 100000;  // frames

}  // namespace

SerialLine::SerialLine(Receiver& receiver, std::string linkPath) : m_receiver(receiver), m_link(std::move(linkPath)) {
  if (pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  m_terminal = std::make_unique<PseudoTerminal>();
  m_path = m_terminal->Path();
  UpdateLink(m_path);
}

SerialLine::~SerialLine() {
  Stop();
  m_terminal.reset();
  m_spare.reset();
  if (!m_link.empty()) ::unlink(m_link.c_str());
  ::close(m_wake[0]);
  ::close(m_wake[1]);
}

void SerialLine::Start() {
  m_thread = std::thread([this] { Run(); });
}

void SerialLine::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  Wake();
  if (m_thread.joinable()) m_thread.join();
}

void SerialLine::Wake() {
  char byte = 1;
  [[maybe_unused]] ssize_t ignored = ::write(m_wake[1], &byte, 1);
}

void SerialLine::Send(Bytes bytes, const std::function<void()>& whileQueued) {
  {
    std::lock_guard lock(m_mutex);
    if (!m_plugged) return;
    if (whileQueued) whileQueued();
    m_queue.push_back(Item{ItemKind::kBytes, std::move(bytes)});
    // Nobody reading: like a device whose host stopped draining it, the oldest output is lost.
    if (m_queue.size() > kQueueLimit && m_controlsPending == 0) m_queue.pop_front();
  }
  Wake();
}

void SerialLine::Unplug() { QueueControl(ItemKind::kUnplug, false); }

void SerialLine::Plug() { QueueControl(ItemKind::kPlug, true); }

void SerialLine::QueueControl(ItemKind kind, bool pluggedAfter) {
  {
    std::lock_guard lock(m_mutex);
    if (m_plugged == pluggedAfter) return;
    m_plugged = pluggedAfter;
    m_queue.push_back(Item{kind, {}});
    ++m_controlsPending;
  }
  Wake();
}

std::string SerialLine::Path() const {
  std::lock_guard lock(m_mutex);
  return m_path;
}

size_t SerialLine::Generation() const {
  std::lock_guard lock(m_mutex);
  return m_generation;
}

std::string SerialLine::WaitForGeneration(size_t generation, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(m_mutex);
  if (!m_changed.wait_for(lock, timeout, [&] { return m_generation >= generation && !m_path.empty(); })) return {};
  return m_path;
}

void SerialLine::SetPathCallback(std::function<void(const std::string&)> callback) {
  std::lock_guard lock(m_mutex);
  m_pathCallback = std::move(callback);
}

// Points the link at `target`, or removes it for "".
void SerialLine::UpdateLink(const std::string& target) {
  if (m_link.empty()) return;
  ::unlink(m_link.c_str());
  if (!target.empty() && ::symlink(target.c_str(), m_link.c_str()) != 0) {
    std::perror(("lumen-sim: symlink " + m_link).c_str());
  }
}

void SerialLine::NotifyPath(const std::string& path) {
  std::function<void(const std::string&)> callback;
  {
    std::lock_guard lock(m_mutex);
    callback = m_pathCallback;
  }
  if (callback) callback(path);
}

// Line thread from here on.
void SerialLine::Run() {
  for (;;) {
    std::optional<Item> next;
    bool hurry = false;  // a hang-up waits behind this output: write what fits, drop the rest
    {
      std::lock_guard lock(m_mutex);
      if (m_stopping) return;
      hurry = m_controlsPending > 0;
      if (m_writing.empty() && !m_queue.empty()) {
        next = std::move(m_queue.front());
        m_queue.pop_front();
        if (next->kind != ItemKind::kBytes) --m_controlsPending;
      }
    }
    if (next) {
      if (next->kind == ItemKind::kUnplug) {
        DoUnplug();
      } else if (next->kind == ItemKind::kPlug) {
        DoPlug();
      } else if (m_terminal) {
        m_writing = std::move(next->bytes);
        m_written = 0;
      }
      if (hurry && !m_writing.empty()) {
        WriteSome();
        m_wroteBeforeHangup = m_wroteBeforeHangup || m_written > 0;
        m_writing.clear();
      }
      continue;
    }
    PollOnce();
  }
}

void SerialLine::WriteSome() {
  while (m_terminal && m_written < m_writing.size()) {
    const ssize_t n = ::write(m_terminal->MasterFd(), m_writing.data() + m_written, m_writing.size() - m_written);
    if (n <= 0) break;
    m_written += static_cast<size_t>(n);
  }
  if (m_written >= m_writing.size()) m_writing.clear();
}

void SerialLine::PollOnce() {
  pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {-1, 0, 0}};
  nfds_t count = 1;
  if (m_terminal) {
    fds[1] = {m_terminal->MasterFd(), static_cast<short>(POLLIN | (m_writing.empty() ? 0 : POLLOUT)), 0};
    count = 2;
  }
  int timeoutMs = -1;
  if (!m_input.empty()) {
    const auto left = kPartialFrameTimeout - (std::chrono::steady_clock::now() - m_lastInput);
    timeoutMs =
        static_cast<int>(std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1));
  }
  const int ready = ::poll(fds, count, timeoutMs);
  if (ready < 0 && errno != EINTR) return;
  if (fds[0].revents & POLLIN) {
    char drain[64];
    while (::read(m_wake[0], drain, sizeof(drain)) > 0) {
    }
  }
  if (count == 2 && (fds[1].revents & POLLOUT)) WriteSome();
  if (count == 2 && (fds[1].revents & POLLIN)) {
    uint8_t buffer[4096];
    const ssize_t n = ::read(m_terminal->MasterFd(), buffer, sizeof(buffer));
    if (n > 0) {
      m_input.insert(m_input.end(), buffer, buffer + n);
      m_lastInput = std::chrono::steady_clock::now();
      m_receiver.OnBytes(m_lastInput);
      ProcessInput();
    }
  }
  if (!m_input.empty() && std::chrono::steady_clock::now() - m_lastInput >= kPartialFrameTimeout) DiscardInput();
}

void SerialLine::DiscardInput() {
  m_receiver.OnNoCommand(m_input);
  m_input.clear();
}

void SerialLine::ProcessInput() {
  while (m_input.size() >= kBgapiHeaderSize) {
    // A header no host would send: the stream is out of step; drop what is buffered.
    if ((m_input[0] & (kBgapiEventBit | kBgapiTechnologyMask)) || m_input[2] > kBgapiClassDfu) {
      DiscardInput();
      return;
    }
    const size_t size = kBgapiHeaderSize + BgapiPayloadLength(m_input.data());
    if (m_input.size() < size) return;
    const Bytes frame(m_input.begin(), m_input.begin() + static_cast<long>(size));
    m_input.erase(m_input.begin(), m_input.begin() + static_cast<long>(size));
    m_receiver.OnCommand(frame);
    std::lock_guard lock(m_mutex);
    if (!m_plugged) {
      // The device left while handling it; what else was buffered is lost with it.
      m_input.clear();
      return;
    }
  }
}

void SerialLine::DoUnplug() {
  // A hang-up discards what the host has not read; give it a moment to take
  // the bytes written just before, as a host reading a USB device would
  // before it vanishes. They reach the host's side asynchronously, so first
  // wait for them to show up there, then for them to be gone.
  if (m_terminal && m_wroteBeforeHangup) {
    auto wait = [this](bool untilPending, std::chrono::milliseconds limit) {
      const auto deadline = std::chrono::steady_clock::now() + limit;
      while ((m_terminal->PendingForHost() > 0) != untilPending && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    };
    wait(true, kArrivalBeforeHangup);
    wait(false, kDrainBeforeHangup);
  }
  m_wroteBeforeHangup = false;
  {
    std::lock_guard lock(m_mutex);
    m_path.clear();
  }
  // Gone before the line goes, so a host that sees the hang-up finds no link.
  UpdateLink("");
  // The next terminal is taken before this one is let go, so the kernel
  // cannot hand the same number out again: the device returns at a new path.
  try {
    m_spare = std::make_unique<PseudoTerminal>();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "lumen-sim: no spare terminal: %s\n", e.what());
  }
  m_terminal.reset();
  m_input.clear();
  m_writing.clear();
  m_changed.notify_all();
  NotifyPath("");
}

void SerialLine::DoPlug() {
  try {
    m_terminal = m_spare ? std::move(m_spare) : std::make_unique<PseudoTerminal>();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "lumen-sim: cannot create a terminal: %s\n", e.what());
    return;
  }
  const std::string newPath = m_terminal->Path();
  // In place before the new path is told, so whoever waits for it finds the link too.
  UpdateLink(newPath);
  {
    std::lock_guard lock(m_mutex);
    m_path = newPath;
    ++m_generation;
  }
  m_changed.notify_all();
  NotifyPath(newPath);
}

}  // namespace lumen::sim
