#pragma once

// The host's end of a virtual radio's serial line, for tests that speak raw
// BGAPI bytes to it. Every read has a time-out that only guards against a hang.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Bytes.h"

namespace lumen::sim::testing {

inline constexpr std::chrono::milliseconds kGuard{5000};

inline Bytes Hex(std::string_view text) { return ParseHex(text); }

class HostLine {
 public:
  explicit HostLine(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd >= 0) {
      termios settings{};
      tcgetattr(m_fd, &settings);
      cfmakeraw(&settings);
      tcsetattr(m_fd, TCSANOW, &settings);
    }
  }
  ~HostLine() {
    if (m_fd >= 0) ::close(m_fd);
  }
  HostLine(const HostLine&) = delete;
  HostLine& operator=(const HostLine&) = delete;

  bool IsOpen() const { return m_fd >= 0; }

  void Write(const Bytes& bytes) {
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + kGuard;
    while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
      ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd fd{m_fd, POLLOUT, 0};
        ::poll(&fd, 1, 100);
      }
    }
  }
  void WriteHex(std::string_view hex) { Write(Hex(hex)); }

  // Exactly n bytes, or fewer when the guard expires or the line hangs up.
  Bytes Read(size_t n, std::chrono::milliseconds timeout = kGuard) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd fd{m_fd, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      uint8_t buffer[512];
      ssize_t got = ::read(m_fd, buffer, std::min(sizeof(buffer), n - out.size()));
      if (got > 0) {
        out.insert(out.end(), buffer, buffer + got);
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        m_hungUp = true;
        break;
      }
    }
    return out;
  }

  // One whole BGAPI frame (header and payload); empty on time-out.
  Bytes ReadFrame(std::chrono::milliseconds timeout = kGuard) {
    Bytes header = Read(4, timeout);
    if (header.size() != 4) return {};
    size_t length = (static_cast<size_t>(header[0] & 0x07) << 8) | header[1];
    Bytes payload = Read(length, timeout);
    header.insert(header.end(), payload.begin(), payload.end());
    return payload.size() == length ? header : Bytes{};
  }
  std::string ReadFrameHex(std::chrono::milliseconds timeout = kGuard) { return ToHex(ReadFrame(timeout)); }

  // Sends a command (hex) and reads as many frames as `expected` holds: they
  // must be those, in that order.
  ::testing::AssertionResult Exchange(std::string_view command, const std::vector<std::string>& expected) {
    WriteHex(command);
    std::vector<std::string> got;
    for (size_t i = 0; i < expected.size(); ++i) got.push_back(ReadFrameHex());
    if (got == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "after " << command << "\n  got:      " << ::testing::PrintToString(got)
                                         << "\n  expected: " << ::testing::PrintToString(expected);
  }

  // Sends hello and returns, as hex, every frame that came before its answer:
  // proof that nothing else was on its way. Without the answer that proof is
  // missing, so a silent radio fails the calling test.
  // The caller's place comes from builtins both GCC and clang have: clang 14
  // has no std::source_location.
  std::vector<std::string> FramesBeforeHello(const char* callerFile = __builtin_FILE(),
                                             int callerLine = __builtin_LINE()) {
    WriteHex("00 00 00 01");
    std::vector<std::string> before;
    for (;;) {
      Bytes frame = ReadFrame();
      if (frame == Hex("00 00 00 01")) break;
      if (frame.empty()) {
        ADD_FAILURE_AT(callerFile, callerLine)
            << "hello was never answered; frames before the silence: " << before.size();
        break;
      }
      before.push_back(ToHex(frame));
    }
    return before;
  }

  // True once the far end has hung up (data still in flight is drained).
  bool WaitForHangup(std::chrono::milliseconds timeout = kGuard) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_hungUp && std::chrono::steady_clock::now() < deadline) Read(4096, std::chrono::milliseconds(50));
    return m_hungUp;
  }

 private:
  int m_fd = -1;
  bool m_hungUp = false;
};

}  // namespace lumen::sim::testing
