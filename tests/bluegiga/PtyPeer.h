#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumen::testing {

// The radio's end of a real pseudo-terminal: the library opens Path() as its
// serial port, the test reads what it sends and writes what the radio says.
class PtyPeer {
 public:
  PtyPeer() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
      throw std::runtime_error("cannot create a pseudo-terminal");
    }
    m_path = ptsname(m_master);
    // Raw mode before the library opens it, so nothing is echoed or translated.
    const int slave = open(m_path.c_str(), O_RDWR | O_NOCTTY);
    termios settings{};
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
    close(slave);
  }
  ~PtyPeer() { Close(); }
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  const std::string& Path() const { return m_path; }

  void Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
      if (n <= 0) {
        throw std::runtime_error("write to pseudo-terminal failed");
      }
      done += static_cast<size_t>(n);
    }
  }

  // Exactly n bytes, or fewer if the guard time runs out.
  std::vector<uint8_t> Read(size_t n, std::chrono::milliseconds guard = std::chrono::seconds(10)) {
    std::vector<uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (bytes.size() < n) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        break;
      }
      pollfd ready{m_master, POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
        continue;
      }
      uint8_t buffer[512];
      const ssize_t got = read(m_master, buffer, std::min(sizeof buffer, n - bytes.size()));
      if (got <= 0) {
        break;
      }
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }

  // One BGAPI frame: header, then the payload its length byte announces.
  std::vector<uint8_t> ReadFrame() {
    std::vector<uint8_t> frame = Read(4);
    if (frame.size() == 4 && frame[1] != 0) {
      const std::vector<uint8_t> payload = Read(frame[1]);
      frame.insert(frame.end(), payload.begin(), payload.end());
    }
    return frame;
  }

  void Close() {
    if (m_master >= 0) {
      close(m_master);
      m_master = -1;
    }
  }

 private:
  int m_master = -1;
  std::string m_path;
};

}  // namespace lumen::testing
