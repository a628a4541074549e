// The program run from a terminal: keys arrive one by one, without echo, and
// the terminal is given back as it was however the program ends.
#include <gtest/gtest.h>

#include <csignal>

#include "TestAppRun.h"

namespace lumenTestApp::test {
namespace {

using lumen::testing::ChildProcess;

// A terminal that echoes and edits lines, as a user's shell leaves it.
ChildProcess::Options UserTerminal() {
  ChildProcess::Options options;
  options.input = ChildProcess::Input::kPty;
  options.echo = true;
  return options;
}

void ExpectTerminalGivenBack(TestAppRun& app) {
  const auto modes = app.process().CurrentTerminalModes();
  ASSERT_TRUE(modes.has_value());
  EXPECT_TRUE(modes->echo) << app.process().Output();
  EXPECT_TRUE(modes->lines) << app.process().Output();
}

TEST(TerminalTest, KeysArriveOneByOneAndTheTerminalIsGivenBack) {
  TestAppRun app(PhoneTrackingScenario(), {"-v1", "-s"}, UserTerminal());
  const size_t help = app.Await("'-' to decrease logging level");
  const auto modes = app.process().CurrentTerminalModes();
  ASSERT_TRUE(modes.has_value());
  EXPECT_FALSE(modes->echo);
  EXPECT_FALSE(modes->lines);
  app.Press('s');  // no Enter
  app.Await("phone is", help);
  app.ExpectCleanExitAfterEndOfInput();
  ExpectTerminalGivenBack(app);
}

// `lumenTestApp ... | head`: the reader goes, the next line written ends the program.
TEST(TerminalTest, AClosedOutputLeavesTheTerminalAsItWas) {
  TestAppRun app(PhoneTrackingScenario(), {"-v2", "-s"}, UserTerminal(),
                 "\"$@\" | grep -m1 -e \"'-' to decrease logging level\"; "
                 "echo \"program ended with status ${PIPESTATUS[0]}\"");
  app.Await("'-' to decrease logging level");
  app.Await("program ended with status 141");  // SIGPIPE
  app.ExpectExit(0);
  ExpectTerminalGivenBack(app);
}

TEST(TerminalTest, AnAbortLeavesTheTerminalAsItWas) {
  TestAppRun app(PhoneTrackingScenario(), {"-v1", "-s"}, UserTerminal());
  app.Await("'-' to decrease logging level");
  app.process().SendSignal(SIGABRT);
  app.ExpectExit(-SIGABRT);
  ExpectTerminalGivenBack(app);
}

}  // namespace
}  // namespace lumenTestApp::test
