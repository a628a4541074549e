// Opens a Bluegiga BLED112 dongle on a serial port and shows how a missing or
// silent radio is reported: Initialize returns false and the log says why.
//
//   lumen_initialize_example [port]     (default /dev/ttyLUMEN-missing)

#include <lumen/Logger.h>
#include <lumen/Lumen.h>

#include <cstdio>
#include <exception>
#include <string>

namespace {

void PrintLogLine(lumen::Logger::LogType type, const std::string& text) {
  std::printf("[%s] %s\n", lumen::Logger::LogTypeToString(type), text.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string port = argc > 1 ? argv[1] : "/dev/ttyLUMEN-missing";

  // Set before Initialize: the callback is read without a lock by every library thread.
  lumen::Logger::SetLogCallback(&PrintLogLine);

  bool opened = false;
  try {
    opened = lumen::Initialize(port, 0, lumen::BLED112Dongle, true);
  } catch (const std::exception& e) {
    std::printf("Initialize threw: %s\n", e.what());
    lumen::UnInitialize();
    return 2;
  }

  if (opened) {
    std::printf("BLED112 dongle opened on %s\n", port.c_str());
  } else {
    std::printf("No BLED112 dongle could be opened on %s: Initialize returned false\n", port.c_str());
  }

  lumen::UnInitialize();
  lumen::Logger::SetLogCallback(nullptr);
  return opened ? 0 : 1;
}
