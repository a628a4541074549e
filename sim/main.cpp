// lumen-sim: a virtual BLED112 dongle or BLE113 module on a pseudo-terminal.
// Prints the terminal's path on its first line, then runs in real time until
// SIGINT, SIGTERM or end of standard input.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "sim/VirtualBled112.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  char byte = 1;
  [[maybe_unused]] ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
}

int Usage(const char* program) {
  std::cerr << "usage: " << program << " --scenario FILE [--variant dongle|module] [--link PATH]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string scenarioPath;
  std::string variant;
  std::string link;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--scenario" && i + 1 < argc) {
      scenarioPath = argv[++i];
    } else if (argument == "--variant" && i + 1 < argc) {
      variant = argv[++i];
    } else if (argument == "--link" && i + 1 < argc) {
      link = argv[++i];
    } else {
      return Usage(argv[0]);
    }
  }
  if (scenarioPath.empty()) return Usage(argv[0]);

  lumen::sim::VirtualBled112Options options;
  options.clockMode = lumen::sim::SimClock::Mode::kRealTime;
  options.linkPath = link;
  options.frameLogLimit = 10000;
  if (variant == "dongle") {
    options.variant = lumen::sim::DeviceVariant::kDongle;
  } else if (variant == "module") {
    options.variant = lumen::sim::DeviceVariant::kModule;
  } else if (!variant.empty()) {
    return Usage(argv[0]);
  }

  if (::pipe(g_signalPipe) != 0) {
    std::perror("pipe");
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  try {
    lumen::sim::VirtualBled112 radio(lumen::sim::Scenario::FromFile(scenarioPath), options);
    radio.SetPathCallback([](const std::string& path) {
      if (path.empty()) {
        std::cerr << "lumen-sim: device removed\n";
      } else {
        std::cerr << "lumen-sim: device arrived at " << path << "\n";
      }
    });
    std::cout << radio.Path() << std::endl;

    pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[0].revents & POLLIN) break;
      if (fds[1].revents & (POLLIN | POLLHUP)) {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) break;
      }
      if (fds[1].revents & POLLNVAL) fds[1].fd = -1;
    }
  } catch (const std::exception& e) {
    std::cerr << "lumen-sim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
