#include "sim/PseudoTerminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace lumen::sim {

namespace {

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

PseudoTerminal::PseudoTerminal() {
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0) ThrowErrno("posix_openpt");
  char name[128];
  if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 || ptsname_r(m_master, name, sizeof(name)) != 0) {
    int error = errno;
    ::close(m_master);
    m_master = -1;
    throw std::system_error(error, std::generic_category(), "grantpt/unlockpt/ptsname_r");
  }
  m_path = name;
  m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_slave < 0) {
    int error = errno;
    ::close(m_master);
    m_master = -1;
    throw std::system_error(error, std::generic_category(), "open " + m_path);
  }
  // Raw before anyone writes: with the default line discipline the terminal
  // would echo the radio's own output back to it as input.
  termios settings{};
  tcgetattr(m_slave, &settings);
  cfmakeraw(&settings);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  tcsetattr(m_slave, TCSANOW, &settings);
  fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PseudoTerminal::~PseudoTerminal() { Close(); }

size_t PseudoTerminal::PendingForHost() const {
  int pending = 0;
  if (m_slave < 0 || ioctl(m_slave, FIONREAD, &pending) != 0 || pending < 0) return 0;
  return static_cast<size_t>(pending);
}

void PseudoTerminal::Close() {
  if (m_slave >= 0) ::close(m_slave);
  if (m_master >= 0) ::close(m_master);
  m_slave = -1;
  m_master = -1;
}

}  // namespace lumen::sim
