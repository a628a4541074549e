// lumenTestApp: opens an nRF52 radio, beacons the given UUIDs, scans for a
// phone advertising them, tracks the first one found and exercises its
// connection until told to stop. Keys are read from standard input; end of
// input stops the program as 'q' does, so it runs from scripts too.
#include <lumen/BluetoothDevice.h>
#include <lumen/Capture.h>
#include <lumen/RadioHealth.h>
#include <lumen/Uuid.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <exception>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "CommandLine.h"
#include "ConsoleKeys.h"
#include "ConsoleOutput.h"
#include "KESLUMENController.h"

namespace {

using namespace lumenTestApp;

void OnHardwareFailure() {
  Print(
      "KESLUMEN reported HardwareFailure (for Nordic this happens when we don't detect advertisements for a long "
      "time)\n");
}

void OnSoftResetInitiated(bool resetRemovesDevice) {
  PrintF(
      "KESLUMEN reported HardwareSoftResetInitiated %s (for Nordic this happens when we don't detect "
      "advertisements for a long time)\n",
      resetRemovesDevice ? "WITH DeviceRemoval" : "WITHOUT DeviceRemoval");
}

// The library reopened the radio by itself after its port went away; the
// scanner's job carries on and the phone is looked for again.
void OnRadioBack(bool reopened, uint64_t awayMs) {
  if (reopened) {
    PrintF("KESLUMEN reported radio back after %llu ms\n", static_cast<unsigned long long>(awayMs));
  } else {
    PrintF("KESLUMEN reported radio port open again after %llu ms\n", static_cast<unsigned long long>(awayMs));
  }
}

bool OnAdvert(std::shared_ptr<lumen::BluetoothDevice>& /*device*/) {
  ++g_advertCount;
  if (g_loggingLevel.load() >= 2) {
    Print("got advert\n");
  }
  return true;
}

void PrintKeyHelp() {
  Print("'c' to start or stop a capture of the radio's traffic\n");
  Print("'d' to disconnect any connected devices\n");
  Print("'q' to quit program\n");
  Print("'r' to do a hard reset of the dongle - after this the program exits\n");
  Print("'s' to show status of all monitored phones\n");
  Print("'+' to increase logging level\n");
  Print("'-' to decrease logging level\n");
}

std::string SecondsAgo(uint64_t seconds) {
  return seconds == UINT64_MAX ? std::string("none yet") : std::to_string(seconds) + " s ago";
}

// Where the radio stands, after the status line.
void PrintHealth() {
  const lumen::RadioHealth h = lumen::GetRadioHealth();
  const auto n = [](uint64_t value) { return std::to_string(value); };
  Print("radio health: adverts received " + n(h.advertsReceived) + ", dropped " + n(h.advertsDropped) + ", last " +
        SecondsAgo(h.secondsSinceLastAdvert) + "\n");
  Print("radio health: garbage bytes " + n(h.garbageBytes) + ", malformed frames " + n(h.framesMalformed) + "\n");
  Print("radio health: commands sent " + n(h.commandsSent) + ", answered " + n(h.commandsAnswered) + ", timed out " +
        n(h.commandsTimedOut) + " (no response " + n(h.commandsNoResponse) + ", no completing event " +
        n(h.commandsNoCompletingEvent) + ")\n");
  Print("radio health: hardware failures " + n(h.hardwareFailures) + ", resets for radio error " +
        n(h.resetsRadioError) + ", watchdog " + n(h.resetsWatchdog) + ", application " + n(h.resetsApplication) +
        ", port losses " + n(h.portLosses) + ", time away " + n(h.timeAwayMs) + " ms\n");
  Print("radio health: connections made " + n(h.connectionsMade) + ", failed " + n(h.connectionsFailed) +
        ", dropped by peer " + n(h.connectionsDroppedByPeer) + "; GATT ok " + n(h.gattOk) + ", failed " +
        n(h.gattFailed) + "; notifications " + n(h.notificationsDelivered) + "; queue high-water " +
        n(h.messageQueueHighWater) + "\n");
}

void ShowStatus(KESLUMENController& controller) {
  lumen::Uuid uuid;
  const std::string adverts = std::to_string(g_advertCount.load());
  if (controller.GetTrackedPhone(uuid)) {
    OnLog(lumen::Logger::WARNING, "phone is being tracked: UUID: " + uuid.ToString() + "; total #adverts = " + adverts);
  } else {
    OnLog(lumen::Logger::WARNING, "phone is NOT being tracked: total #adverts = " + adverts);
  }
  PrintHealth();
}

// The capture the 'c' key started, "" when none runs.
std::string g_capturePath;

// lumen-<date>-<time>.pcapng in the working directory, local time.
std::string NewCapturePath() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char name[64];
  std::strftime(name, sizeof name, "lumen-%Y%m%d-%H%M%S.pcapng", &local);
  return name;
}

void ToggleCapture() {
  if (!g_capturePath.empty()) {
    lumen::StopCapture();
    Print("capture stopped: " + g_capturePath + "\n");
    g_capturePath.clear();
    return;
  }
  const std::string path = NewCapturePath();
  try {
    lumen::StartCapture(path);
  } catch (const std::exception& e) {
    Print(std::string("capture not started: ") + e.what() + "\n");
    return;
  }
  g_capturePath = path;
  Print("capture started: " + path + "\n");
}

// Runs the keys until one ends the program; true when the radio is to be
// reset on the way out.
bool RunKeyLoop(KESLUMENController& controller) {
  for (;;) {
    const int key = ReadKey();
    switch (key) {
      case -1:
      case 'q':
      case 'Q':
        return false;
      case 'r':
        return true;
      case '+':
        PrintF("logging level %u\n", ++g_loggingLevel);
        break;
      case '-': {
        unsigned level = g_loggingLevel.load();
        if (level > 0) {
          g_loggingLevel.store(--level);
        }
        PrintF("logging level %u\n", level);
        break;
      }
      case 'c':
        ToggleCapture();
        break;
      case 'd':
        controller.DropTrackedPhone();
        break;
      case 's':
        ShowStatus(controller);
        break;
      default:
        break;
    }
  }
}

// A radio call the radio never completes holds the controller's timer thread
// for over a minute (the program lets each GATT wait last 65 s); the user who
// asked to quit is not kept waiting for it.
constexpr std::chrono::seconds kStopLimit{5};

// Destroys the controller; false when that has not finished within the limit.
bool StopWithin(std::unique_ptr<KESLUMENController> controller, std::chrono::seconds limit) {
  std::packaged_task<void()> stop([controller = std::move(controller)]() mutable { controller.reset(); });
  std::future<void> stopped = stop.get_future();
  std::thread stopper(std::move(stop));
  if (stopped.wait_for(limit) == std::future_status::ready) {
    stopper.join();
    return true;
  }
  // Still using the controller and the library: the process ends under it.
  stopper.detach();
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  switch (ParseCommandLine(argc, argv, options)) {
    case ParseResult::kRun:
      break;
    case ParseResult::kUsage:
      PrintUsage();
      return 1;
    case ParseResult::kInvalidValue:
      return 1;
  }

  if (options.scanInterval != 0 && options.scanWindow == 0) {
    PrintF(
        "scan interval %u not used: the nRF52 radio scans with the scan window as its interval, so give -w to "
        "change its scan timing\n",
        options.scanInterval);
  }

  auto controller = std::make_unique<KESLUMENController>();
  if (!controller->Start(options.port, options.uuids, options.silent, options.scanInterval, options.scanWindow, OnLog,
                         OnHardwareFailure, OnSoftResetInitiated, OnRadioBack, OnAdvert, options.fullChallengeResponse,
                         options.challengePeriodSeconds)) {
    controller.reset();
    return 1;
  }

  // Keys are taken one by one before the help says which, so that none typed
  // after it waits for Enter or is echoed.
  BeginKeyInput();
  PrintKeyHelp();
  const bool resetRadio = RunKeyLoop(*controller);
  RestoreConsole();
  if (resetRadio) {
    controller->ResetRadioOnStop();
  }
  if (!StopWithin(std::move(controller), kStopLimit)) {
    OnLog(lumen::Logger::WARNING, "a radio call is still waiting for the radio after " +
                                      std::to_string(kStopLimit.count()) +
                                      " seconds of stopping: exiting without waiting for it");
    Print("Exiting\n");
    EndProcess(0);
  }
  if (!g_capturePath.empty()) {
    ToggleCapture();  // after the radio's close, so that the capture shows it
  }
  // The library's own clean-up at exit has nothing left to tell the user.
  lumen::Logger::SetLogCallback(nullptr);
  Print("Exiting\n");
  return 0;
}
