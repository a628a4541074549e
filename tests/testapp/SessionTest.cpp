// Whole runs of the test program against the virtual nRF52 board: finding
// and tracking a phone, the two periodic exchanges, the keys, and the ways a
// tracked phone is lost.
#include <gtest/gtest.h>

#include "TestAppRun.h"

namespace lumenTestApp::test {
namespace {

TEST(SessionTest, TracksTheBackgroundPhoneAndExercisesIt) {
  TestAppRun app(PhoneTrackingScenario(), {"-f1", "-v1"});
  const size_t found = app.Await(kFound);
  const size_t allChunks = app.Await("got all chunks, signal challenge/response thread.", found);
  const size_t exchange = app.Await("challenge/response thread wakes up - all chunks received", allChunks);
  EXPECT_EQ(app.Count("got all chunks, signal challenge/response thread."), 1u);
  // Woken by the fourteenth chunk, not by the end of its 2000 ms wait, which
  // here would come about 1800 ms after the last chunk.
  EXPECT_LT(app.Between(allChunks, exchange), std::chrono::milliseconds(1000)) << app.process().Output();
  app.Await("challenge/response succeeded", exchange);
  app.Await("keepalive succeeded", found);
  app.Await("received chunk 14 #bytes = 20", found);
  app.Press('q');
  const size_t stopping = app.Await("(INFO) KESLUMENController start waiting for worker threads to end");
  app.Await("(INFO) KESLUMENController destructor completed", stopping);
  app.Await("Exiting", stopping);
  app.ExpectExit(0);
  EXPECT_EQ(app.process().Lines().back(), "Exiting");  // nothing after it
  // The beacon ran, and the phone was never mistaken for another.
  EXPECT_GT(app.Count("Changed advertisement to device-specific"), 0u);
  EXPECT_EQ(app.Count("KESLUMEN found phone MAC"), 1u) << app.process().Output();
  EXPECT_EQ(app.Count("(ERROR)"), 0u) << app.process().Output();
}

TEST(SessionTest, ThirteenChunksLetTheExchangeWaitItOutAndAFifteenthIsOnlyCounted) {
  nlohmann::json scenario = PhoneTrackingScenario();
  SetResponseChunks(scenario, 13);
  {
    TestAppRun app(scenario, {"-f1", "-v2", "-s"});
    const size_t write = app.Await("call sd_ble_gattc_write #bytes =  19");
    const size_t waited = app.Await("challenge/response thread wakes up - all chunks NOT received", write);
    // The write is logged before it is sent, and the wait starts once it is done.
    EXPECT_GE(app.Between(write, waited), std::chrono::milliseconds(1990)) << app.Line(write) << "\n"
                                                                           << app.Line(waited);
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
  TestAppRun app(PhoneTrackingScenario(), {"-f1", "-v2", "-s", "-r"});
  const size_t first = app.Await(
      "skip full challenge/response, just disable notifications (so that this test includes writing to "
      "characteristics)");
  // Switching notifications off is a 2-byte write of the descriptor.
  const size_t descriptor = app.Await("call sd_ble_gattc_write #bytes =  2 ", first);
  const size_t second = app.Await("skip full challenge/response", first + 1);
  EXPECT_LT(descriptor, second);
  app.Await("call sd_ble_gattc_write #bytes =  2 ", second);
  EXPECT_EQ(app.Count("sd_ble_gattc_write #bytes =  19"), 0u);  // no challenge
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
  // The health figures follow the status line.
  at = app.Await("radio health: adverts received ", at);
  at = app.Await("radio health: connections made ", at);
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

// Both phones are there from the start: the one that advertises its UUID is
// reported first; the UUID-less one is only looked at when nothing matches.
TEST(SessionTest, ARefusedPhoneIsLeftAloneSoThatTheRealPhoneIsTracked) {
  TestAppRun app(PhoneTrackingScenario(), {"-f3600", "-v2", "-s", "-u" + kRefusedPhoneUuid});
  const size_t refused = app.Await("(ERROR) ERROR: could not get the challenge/response/feature characteristics");
  const size_t disconnected = app.Await("Bluetooth device disconnect request " + kRefusedPhoneAddress, refused);
  const size_t found = app.Await(kFound, disconnected);
  app.Await("keepalive succeeded", found);
  app.Press('s');
  app.Await("phone is being tracked: UUID: " + kAuthService, found);
  EXPECT_EQ(app.Count("could not get the challenge/response/feature characteristics"), 1u) << app.process().Output();
  EXPECT_EQ(app.Count("KESLUMEN found phone MAC " + kRefusedPhoneAddress), 1u);
  app.ExpectCleanExitAfterEndOfInput();
}

TEST(SessionTest, APhoneWithoutTheAuthenticationServiceIsRefusedAndLeftAlone) {
  nlohmann::json scenario = PhoneTrackingScenario();
  Peripheral(scenario, "phone-in-background")["present_from_ms"] = 3600000;
  Peripheral(scenario, "phone-without-feature")["gatt"].erase(1);  // keeps only the GAP service
  TestAppRun app(scenario, {"-f1", "-v1", "-s", "-u" + kRefusedPhoneUuid});
  size_t at = app.Await("(ERROR) ERROR: could not get the authentication service");
  at =
      app.Await("leave phone MAC " + kRefusedPhoneAddress + " UUID " + kRefusedPhoneUuid + " alone for 60 seconds", at);
  // Several scanner ticks later it has not been taken up again.
  for (int tick = 0; tick < 4; ++tick) {
    at = app.Await("no devices found that match the job", at + 1);
  }
  EXPECT_EQ(app.Count("KESLUMEN found phone MAC"), 1u) << app.process().Output();
  EXPECT_EQ(app.Count("tracking device failed"), 0u) << app.process().Output();
  app.Press('s');
  app.Await("phone is NOT being tracked: total #adverts = ", at);
  EXPECT_EQ(app.Count("keepalive succeeded"), 0u);
  app.ExpectCleanExitAfterEndOfInput();
}

TEST(SessionTest, DisconnectKeyDisconnectsThePhoneBeforeSearchingAgain) {
  TestAppRun app(PhoneTrackingScenario(), {"-f3600", "-v2", "-s"});
  const size_t found = app.Await(kFound);
  app.Await("keepalive succeeded", found);
  const size_t pressed = app.process().LineCount();
  app.Press('d');
  const size_t disconnected = app.Await("Bluetooth device disconnect request " + kPhoneAddress, pressed);
  const size_t foundAgain = app.Await(kFound, disconnected);
  app.Await("keepalive succeeded", foundAgain);
  app.ExpectCleanExitAfterEndOfInput();
}

// The challenge is never answered: the program lets such a wait last 65 s,
// and quitting must not wait for it.
TEST(SessionTest, QuitEndsTheProgramPromptlyWhileACallIsStuck) {
  nlohmann::json scenario = PhoneTrackingScenario();
  scenario["radio"]["nordic"]["ignore_calls"] = {{{"function", "sd_ble_gattc_write"}, {"times", 1}}};
  TestAppRun app(scenario, {"-f1", "-v2", "-s"});
  const size_t found = app.Await(kFound);
  app.Await("call sd_ble_gattc_write", found);
  app.Press('q');
  const auto exit = app.process().WaitForExit(std::chrono::seconds(20));
  ASSERT_TRUE(exit.has_value()) << "still running 20 s after 'q'; output:\n" << app.process().Output();
  EXPECT_EQ(*exit, 0) << app.process().Output();
  EXPECT_EQ(app.Count("(WARNING) a radio call is still waiting for the radio"), 1u) << app.process().Output();
  EXPECT_EQ(app.Count("Exiting"), 1u) << app.process().Output();
  EXPECT_EQ(app.Count("no Nordic event"), 0u);
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
  TestAppRun app(PhoneTrackingScenario(), {"-v2", "-s"});
  const size_t found = app.Await(kFound);
  app.Press('r');
  const size_t reset = app.Await("KESLUMENController hard reset of the radio before exiting", found);
  const size_t sent = app.Await("call sd_rpc_conn_reset", reset);
  const size_t completed = app.Await("KESLUMENController destructor completed", reset);
  EXPECT_LT(sent, completed);
  app.Await("Exiting", reset);
  app.ExpectExit(0);
  EXPECT_EQ(app.Count("hard reset of the radio failed"), 0u) << app.process().Output();
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
