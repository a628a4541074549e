#include "platform/PortProbe.h"

#if defined(_WIN32)
#include "platform/WindowsApi.h"

#include <cctype>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace lumen::details {

#if defined(_WIN32)
namespace {

// "COM10" and above only open in the device namespace; other names (a file
// standing in for a board) are used as they are.
std::string DeviceName(const std::string& port) {
  const bool comPort = port.size() > 3 && (port[0] == 'C' || port[0] == 'c') && (port[1] == 'O' || port[1] == 'o') &&
                       (port[2] == 'M' || port[2] == 'm') && std::isdigit(static_cast<unsigned char>(port[3])) != 0;
  return comPort ? "\\\\.\\" + port : port;
}

}  // namespace

bool PortOpens(const std::string& port) {
  const HANDLE handle = CreateFileA(DeviceName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  CloseHandle(handle);
  return true;
}
#else
bool PortOpens(const std::string& port) {
  const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
}
#endif

}  // namespace lumen::details
