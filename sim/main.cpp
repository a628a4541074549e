// lumen-sim: a virtual BLED112 dongle or BLE113 module on a pseudo-terminal,
// or the radio's side of a capture played back (--replay).
// Prints the terminal's path on its first line (and the control channel's
// address on the next), then runs until SIGINT, SIGTERM or end of standard input.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "sim/CaptureReplay.h"
#include "sim/ControlCommands.h"
#include "sim/ControlServer.h"
#include "sim/RadioHost.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void Wake() {
  char byte = 1;
  [[maybe_unused]] ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
}

void OnSignal(int) { Wake(); }

// A replay whose capture is played out ends once the host has been quiet this long.
constexpr std::chrono::seconds kQuietAfterReplay{2};

int Usage(const char* program) {
  std::cerr << "usage: " << program
            << " [--scenario FILE] [--variant dongle|module] [--link PATH] [--control PORT|stdin]\n"
               "       "
            << program
            << " --replay CAPTURE.pcapng [--pace captured|fast] [--link PATH]\n"
               "  --scenario is required without --control; with it the radio starts with no peripherals\n"
               "  and a client loads scenarios (see sim/README.md). --control 0 picks a free port.\n";
  return 2;
}

void ReportPath(const std::string& path) {
  if (path.empty()) {
    std::fprintf(stderr, "lumen-sim: device removed\n");
  } else {
    std::fprintf(stderr, "lumen-sim: device arrived at %s\n", path.c_str());
  }
}

// Exit status: 0 when the host followed the capture, 1 when it did not, 3 when there is nothing to play.
int Replay(const std::string& capturePath, lumen::sim::ReplayPace pace, const std::string& link) {
  lumen::sim::Capture capture;
  try {
    capture = lumen::sim::ReadCaptureFile(capturePath);
  } catch (const std::exception& e) {
    std::cerr << "lumen-sim: " << capturePath << ": " << e.what() << "\n";
    return 3;
  }
  const bool bgapi =
      std::any_of(capture.records.begin(), capture.records.end(), [](const lumen::sim::CaptureRecord& r) {
        return r.kind == lumen::sim::CaptureRecord::kBgapiToRadio ||
               r.kind == lumen::sim::CaptureRecord::kBgapiFromRadio;
      });
  if (!bgapi) {
    std::cerr << "lumen-sim: " << capturePath << ": no BGAPI records to replay\n";
    return 3;
  }
  lumen::sim::CaptureReplayOptions options;
  options.pace = pace;
  options.clockMode = lumen::sim::SimClock::Mode::kRealTime;
  options.linkPath = link;
  options.report = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  try {
    lumen::sim::CaptureReplay replay(std::move(capture), options);
    replay.SetPathCallback(ReportPath);
    std::cout << replay.Path() << std::endl;

    pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
      if (replay.Finished() && std::chrono::steady_clock::now() - replay.LastActivity() >= kQuietAfterReplay) break;
      if (::poll(fds, 2, 100) <= 0) continue;
      if (fds[0].revents & POLLIN) break;
      if (fds[1].revents & (POLLIN | POLLHUP)) {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) break;
      }
      if (fds[1].revents & POLLNVAL) fds[1].fd = -1;
    }
    const lumen::sim::ReplaySummary summary = replay.Summary();
    std::cerr << summary.Text() << std::endl;
    return summary.Followed() ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "lumen-sim: " << e.what() << "\n";
    return 3;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string scenarioPath;
  std::string variant;
  std::string link;
  std::optional<std::string> control;
  std::string replay;
  std::string pace;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--replay" && i + 1 < argc) {
      replay = argv[++i];
    } else if (argument == "--pace" && i + 1 < argc) {
      pace = argv[++i];
    } else if (argument == "--scenario" && i + 1 < argc) {
      scenarioPath = argv[++i];
    } else if (argument == "--variant" && i + 1 < argc) {
      variant = argv[++i];
    } else if (argument == "--link" && i + 1 < argc) {
      link = argv[++i];
    } else if (argument == "--control" && i + 1 < argc) {
      control = argv[++i];
    } else {
      return Usage(argv[0]);
    }
  }
  if (!replay.empty()) {
    if (!scenarioPath.empty() || !variant.empty() || control) return Usage(argv[0]);
    if (!pace.empty() && pace != "captured" && pace != "fast") return Usage(argv[0]);
  } else if (!pace.empty()) {
    return Usage(argv[0]);
  }
  if (replay.empty() && scenarioPath.empty() && !control) return Usage(argv[0]);
  const bool controlOnStdin = control == "stdin";
  std::optional<uint16_t> controlPort;
  if (control && !controlOnStdin) {
    char* end = nullptr;
    const unsigned long port = std::strtoul(control->c_str(), &end, 10);
    if (control->empty() || *end != '\0' || port > 65535) return Usage(argv[0]);
    controlPort = static_cast<uint16_t>(port);
  }

  lumen::sim::VirtualBled112Options options;
  options.clockMode = lumen::sim::SimClock::Mode::kRealTime;
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
  // A client that leaves mid-reply must not end the radio.
  signal(SIGPIPE, SIG_IGN);

  if (!replay.empty()) {
    return Replay(replay, pace == "fast" ? lumen::sim::ReplayPace::kFast : lumen::sim::ReplayPace::kCaptured, link);
  }

  try {
    lumen::sim::RadioHost host(link);
    host.Load(scenarioPath.empty() ? lumen::sim::Scenario{} : lumen::sim::Scenario::FromFile(scenarioPath), options);
    host.With([](lumen::sim::VirtualBled112& radio) { std::cout << radio.Path() << std::endl; });

    lumen::sim::ControlCommands commands(host);
    lumen::sim::ControlServer server([&commands](std::string_view line) { return commands.Execute(line); });
    std::thread stdinServer;
    if (controlPort) {
      std::cout << "control 127.0.0.1:" << server.Listen(*controlPort) << std::endl;
    } else if (controlOnStdin) {
      std::cout << "control stdin" << std::endl;
      stdinServer = std::thread([&server] {
        server.Serve(STDIN_FILENO, STDOUT_FILENO);
        Wake();  // end of input ends the program
      });
    }

    pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {controlOnStdin ? -1 : STDIN_FILENO, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[0].revents & POLLIN) break;
      if (fds[1].revents & (POLLIN | POLLHUP)) {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) break;
      }
      if (fds[1].revents & POLLNVAL) fds[1].fd = -1;
    }
    host.Shutdown();  // waits in progress end, so the connections can close
    server.Stop();
    if (stdinServer.joinable()) stdinServer.join();
  } catch (const std::exception& e) {
    std::cerr << "lumen-sim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
