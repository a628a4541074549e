// The program against a board whose port vanishes while a phone is tracked,
// the way a USB device node does on unplug, and comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "TestAppRun.h"

namespace lumenTestApp::test {
namespace {

TEST(RecoveryTest, TheBoardVanishingAndComingBackLeavesThePhoneTrackedAndExercisedAgain) {
  TestAppRun app(PhoneTrackingScenario(), {"-f1", "-v1", "-s"});
  const size_t found = app.Await(kFound);
  const size_t exercised = app.Await("keepalive succeeded", found);
  app.Await("challenge/response succeeded", found);

  const std::string away = app.scenarioPath() + ".away";
  std::filesystem::rename(app.scenarioPath(), away);
  const size_t lost = app.Await("Nordic radio's port is gone", exercised);
  // The program's timers go on while the radio stays away.
  const size_t whileAway = app.Await("no device being tracked", lost);
  EXPECT_EQ(app.Count("KESLUMEN reported radio back"), 0u) << app.process().Output();
  std::filesystem::rename(away, app.scenarioPath());

  const size_t back = app.Await("KESLUMEN reported radio back after ", whileAway);
  // Scanning may find the phone before the program hears that the radio is back.
  const size_t foundAgain = app.Await(kFound, lost);
  const size_t after = std::max(back, foundAgain);
  app.Await("keepalive succeeded", after);
  app.Await("challenge/response succeeded", after);

  EXPECT_EQ(app.Count("no Nordic event"), 0u) << app.process().Output();
  EXPECT_EQ(app.Count("Exiting"), 0u) << app.process().Output();
  app.ExpectCleanExitAfterEndOfInput();
}

}  // namespace
}  // namespace lumenTestApp::test
