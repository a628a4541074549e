// lumenTestApp: opens an nRF52 radio, beacons the given UUIDs, scans for a
// phone advertising them, tracks the first one found and exercises its
// connection until told to stop. Keys are read from standard input; end of
// input stops the program as 'q' does, so it runs from scripts too.
#include <lumen/BluetoothDevice.h>
#include <lumen/Uuid.h>

#include <memory>

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

bool OnAdvert(std::shared_ptr<lumen::BluetoothDevice>& /*device*/) {
  ++g_advertCount;
  if (g_loggingLevel.load() >= 2) {
    Print("got advert\n");
  }
  return true;
}

void PrintKeyHelp() {
  Print("'d' to disconnect any connected devices\n");
  Print("'q' to quit program\n");
  Print("'r' to do a hard reset of the dongle - after this the program exits\n");
  Print("'s' to show status of all monitored phones\n");
  Print("'+' to increase logging level\n");
  Print("'-' to decrease logging level\n");
}

void ShowStatus(KESLUMENController& controller) {
  lumen::Uuid uuid;
  const std::string adverts = std::to_string(g_advertCount.load());
  if (controller.GetTrackedPhone(uuid)) {
    OnLog(lumen::Logger::WARNING, "phone is being tracked: UUID: " + uuid.ToString() + "; total #adverts = " + adverts);
  } else {
    OnLog(lumen::Logger::WARNING, "phone is NOT being tracked: total #adverts = " + adverts);
  }
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
      case 'd':
        controller.RestartSearch();
        break;
      case 's':
        ShowStatus(controller);
        break;
      default:
        break;
    }
  }
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

  auto controller = std::make_unique<KESLUMENController>();
  if (!controller->Start(options.port, options.uuids, options.silent, options.scanInterval, options.scanWindow, OnLog,
                         OnHardwareFailure, OnSoftResetInitiated, OnAdvert, options.fullChallengeResponse,
                         options.challengePeriodSeconds)) {
    controller.reset();
    return 1;
  }

  PrintKeyHelp();
  BeginKeyInput();
  const bool resetRadio = RunKeyLoop(*controller);
  RestoreConsole();
  if (resetRadio) {
    controller->ResetRadioOnStop();
  }
  controller.reset();
  Print("Exiting\n");
  return 0;
}
