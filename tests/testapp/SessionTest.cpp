// Whole runs of the test program against the virtual nRF52 board: finding
// and tracking a phone, the two periodic exchanges, the keys, and the ways a
// tracked phone is lost.
#include <gtest/gtest.h>

#include "TestAppRun.h"

namespace lumenTestApp::test {
namespace {

const std::string kFound = "KESLUMEN found phone MAC " + kPhoneAddress + " UUID " + kAuthService;

TEST(SessionTest, TracksTheBackgroundPhoneAndExercisesIt) {
  TestAppRun app(PhoneTrackingScenario(), {"-f1", "-v1"});
  const size_t found = app.Await(kFound);
  const size_t exchange = app.Await("challenge/response thread wakes up - all chunks received", found);
  EXPECT_EQ(app.Count("got all chunks, signal challenge/response thread."), 1u);
  app.Await("challenge/response succeeded", exchange);
  app.Await("keepalive succeeded", found);
  app.Await("received chunk 14 #bytes = 20", found);
  app.Press('q');
  const size_t stopping = app.Await("(INFO) KESLUMENController start waiting for worker threads to end");
  app.Await("(INFO) KESLUMENController destructor completed", stopping);
  app.Await("Exiting", stopping);
  app.ExpectExit(0);
  // The beacon ran, and the phone was never mistaken for another.
  EXPECT_GT(app.Count("Changed advertisement to device-specific"), 0u);
  EXPECT_EQ(app.Count("KESLUMEN found phone MAC"), 1u) << app.process().Output();
  EXPECT_EQ(app.Count("(ERROR)"), 0u) << app.process().Output();
}

TEST(SessionTest, ThirteenChunksLetTheExchangeWaitItOutAndAFifteenthIsOnlyCounted) {
  nlohmann::json scenario = PhoneTrackingScenario();
  SetResponseChunks(scenario, 13);
  {
    TestAppRun app(scenario, {"-f1", "-v1", "-s"});
    const size_t waited = app.Await("challenge/response thread wakes up - all chunks NOT received");
    app.Await("challenge/response succeeded", waited);
    EXPECT_EQ(app.Count("got all chunks"), 0u);
    EXPECT_EQ(app.Count("received chunk 14"), 0u);
    // Silent: no beacon.
    EXPECT_EQ(app.Count("'silent' option specified, no beaconing"), 1u);
    EXPECT_EQ(app.Count("Changed advertisement to device-specific"), 0u);
    app.ExpectCleanExitAfterEndOfInput();
  }
  // All at once, so the fifteenth is on its way before notifications are switched off.
  SetResponseChunks(scenario, 15, 0);
  {
    TestAppRun app(scenario, {"-f1", "-v1", "-s"});
    const size_t chunk15 = app.Await("received chunk 15 #bytes = 20");
    EXPECT_EQ(app.Count("got all chunks, signal challenge/response thread."), 1u);
    app.Await("challenge/response succeeded", chunk15);
    app.ExpectCleanExitAfterEndOfInput();
  }
}

TEST(SessionTest, ReducedExchangeOnlySwitchesNotificationsOff) {
  TestAppRun app(PhoneTrackingScenario(), {"-f1", "-v1", "-s", "-r"});
  const size_t first = app.Await(
      "skip full challenge/response, just disable notifications (so that this test includes writing to "
      "characteristics)");
  app.Await("skip full challenge/response", first + 1);
  EXPECT_EQ(app.Count("received chunk"), 0u);
  EXPECT_EQ(app.Count("even though it never enabled notifications"), 0u);
  EXPECT_EQ(app.Count("challenge/response failed"), 0u) << app.process().Output();
  app.ExpectCleanExitAfterEndOfInput();
}

TEST(SessionTest, KeysChangeTheLevelShowStatusAndDropThePhone) {
  nlohmann::json scenario = PhoneTrackingScenario();
  Peripheral(scenario, "phone-in-background")["present_from_ms"] = 5000;
  TestAppRun app(scenario, {"-v1", "-s"});
  size_t at = app.Await("'-' to decrease logging level");
  app.Press('s');
  at = app.Await("(WARNING) phone is NOT being tracked: total #adverts = ", at);
  app.Press('+');
  at = app.Await("logging level 2", at);
  app.Press('-');
  app.Press('-');
  app.Press('-');
  at = app.Await("logging level 1", at);
  at = app.Await("logging level 0", at);
  at = app.Await("logging level 0", at + 1);  // stays at 0
  app.Press('s');                             // WARNING lines still show
  at = app.Await("(WARNING) phone is", at);
  app.Press('+');
  at = app.Await("logging level 1", at);
  const size_t found = app.Await(kFound, at);
  app.Press('s');
  at = app.Await("(WARNING) phone is being tracked: UUID: " + kAuthService + "; total #adverts = ", found);
  app.Press('d');
  app.Await(kFound, at);  // a new search finds it again
  app.Press('q');
  app.Await("Exiting", at);
  app.ExpectExit(0);
}

TEST(SessionTest, APhoneWithoutTheFeatureCharacteristicIsNeverTracked) {
  nlohmann::json scenario = PhoneTrackingScenario();
  Peripheral(scenario, "phone-in-background")["present_from_ms"] = 3600000;
  Peripheral(scenario, "phone-without-feature").erase("present_from_ms");
  TestAppRun app(scenario, {"-f1", "-v1", "-s"});
  const size_t first = app.Await("(ERROR) ERROR: could not get the challenge/response/feature characteristics");
  // Searching again finds it again, and it is refused again.
  const size_t second = app.Await("ERROR: could not get the challenge/response/feature characteristics", first + 1);
  app.Press('s');
  app.Await("phone is NOT being tracked: total #adverts = ", second);
  app.Await("no device being tracked, keepalive skipped");
  EXPECT_EQ(app.Count("keepalive succeeded"), 0u);
  EXPECT_EQ(app.Count("received chunk"), 0u);
  app.ExpectCleanExitAfterEndOfInput();
}

TEST(SessionTest, AFailedKeepAliveReadStartsANewSearch) {
  nlohmann::json scenario = PhoneTrackingScenario();
  Peripheral(scenario, "phone-in-background")["behaviours"].push_back(
      {{"on", "read"}, {"characteristic", kFeature}, {"status", 258}, {"skip", 1}, {"times", 1}});
  TestAppRun app(scenario, {"-f3600", "-v1", "-s"});
  const size_t found = app.Await(kFound);
  const size_t first = app.Await("keepalive succeeded", found);
  const size_t failed = app.Await("(WARNING) std::exception during keepalive: ", first);
  const size_t restart = app.Await("keepalive failed, so re-start search for a device", failed);
  const size_t foundAgain = app.Await(kFound, restart);
  app.Await("keepalive succeeded", foundAgain);
  app.ExpectCleanExitAfterEndOfInput();
}

TEST(SessionTest, ResetKeyResetsTheBoardBeforeExiting) {
  TestAppRun app(PhoneTrackingScenario(), {"-v1", "-s"});
  const size_t found = app.Await(kFound);
  app.Press('r');
  const size_t reset = app.Await("KESLUMENController hard reset of the radio before exiting", found);
  app.Await("KESLUMENController destructor completed", reset);
  app.Await("Exiting", reset);
  app.ExpectExit(0);
  EXPECT_EQ(app.Count("hard reset of the radio failed"), 0u) << app.process().Output();
}

TEST(SessionTest, KeysArriveOneByOneFromATerminal) {
  lumen::testing::ChildProcess::Options terminal;
  terminal.input = lumen::testing::ChildProcess::Input::kPty;
  TestAppRun app(PhoneTrackingScenario(), {"-v1", "-s"}, terminal);
  const size_t help = app.Await("'-' to decrease logging level");
  app.Press('s');  // no Enter
  app.Await("phone is", help);
  app.ExpectCleanExitAfterEndOfInput();
}

// The board takes the challenge write and never completes it; the backend
// gives up on the connection after the 65 s the program allows each GATT wait.
TEST(SessionTest, AConnectionTheBackendGivesUpOnEndsTheRun) {
  nlohmann::json scenario = PhoneTrackingScenario();
  scenario["radio"]["nordic"]["ignore_calls"] = {{{"function", "sd_ble_gattc_write"}, {"times", 1}}};
  TestAppRun app(scenario, {"-f1", "-v1", "-s"});
  const size_t found = app.Await(kFound);
  const auto given = app.process().WaitForLineAfter(found, "(INFO) no Nordic event", std::chrono::seconds(180));
  ASSERT_TRUE(given.has_value()) << app.process().Output();
  const size_t error = app.Await("(ERROR) no Nordic event", *given);
  app.Await("Exiting test program", error);
  app.ExpectExit(1);
  EXPECT_EQ(app.Count("Exiting test program"), 1u);
}

}  // namespace
}  // namespace lumenTestApp::test
