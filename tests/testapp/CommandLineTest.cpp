// The command line as a user meets it: options, their messages, usage text
// and exit codes.
#include <gtest/gtest.h>

#include "TestAppRun.h"

namespace lumenTestApp::test {
namespace {

using lumen::testing::ChildProcess;

struct Outcome {
  int exitCode = -1;
  std::vector<std::string> lines;
  std::string output;
};

Outcome RunToEnd(const std::vector<std::string>& args) {
  ChildProcess process;
  process.Start(LUMEN_TEST_APP, args, {});
  process.CloseInput();
  const auto exit = process.WaitForExit(kPatience);
  EXPECT_TRUE(exit.has_value()) << process.Output();
  return {exit.value_or(-1), process.Lines(), process.Output()};
}

const std::vector<std::string> kUsage = {
    "Usage: lumenTestApp.exe <-cCOMport> <-u<uuid>>* [-s] [-v[0-2]] [-i<interval>] [-w<window>] "
    "[-f<challenge/response frequency in seconds>]",
    "\tExample: ScanProbe.exe -cCOM10 -u38a094a1-b1a0-472c-bd2f-00243623c016 "
    "-u016e9c91-5c83-4eae-b52a-0e7c72201c7b -v1",
    "\tThe test program will always beacon (emit advertisements) unless the -s (silent) option is specified.",
    "\tThe test program will always scan for advertisements.",
    "\tIf you specify one or more UUIDs using the -u option, the test program will connect to peripherals that "
    "advertise those UUIDs.",
    "\t-i and -w can be used to alter the passive scan interval (default 160) and window (default 80)"};

void ExpectUsage(const std::vector<std::string>& args, const std::vector<std::string>& before = {}) {
  const Outcome outcome = RunToEnd(args);
  EXPECT_EQ(outcome.exitCode, 1) << outcome.output;
  std::vector<std::string> expected = before;
  expected.insert(expected.end(), kUsage.begin(), kUsage.end());
  EXPECT_EQ(outcome.lines, expected) << outcome.output;
}

void ExpectError(const std::vector<std::string>& args, const std::vector<std::string>& lines) {
  const Outcome outcome = RunToEnd(args);
  EXPECT_EQ(outcome.exitCode, 1) << outcome.output;
  EXPECT_EQ(outcome.lines, lines) << outcome.output;
}

const std::string kPort = "-cCOM10";
const std::string kUuid = "-u" + kAuthService;

TEST(CommandLineTest, MalformedOptionsPrintTheUsageText) {
  ExpectUsage({});
  ExpectUsage({kUuid});                                 // no port
  ExpectUsage({kPort, "-u" + kAuthService.substr(1)});  // 35 characters
  ExpectUsage({kPort, "-u" + kAuthService + "0"});      // 37
  ExpectUsage({kPort, "-v12"});                         // two digits
  ExpectUsage({kPort, "-v"});
  ExpectUsage({kPort, "-vx"});
  ExpectUsage({kPort, "COM10"});  // no dash
  ExpectUsage({kPort, "-x"});     // unknown letter
  ExpectUsage({kPort, "-"});
  ExpectUsage({"-s", kPort, "-q"}, {"'silent' option specified, no beaconing"});  // messages come as read
}

TEST(CommandLineTest, InvalidNumbersAreNamed) {
  ExpectError({kPort, "-ix"}, {"ERROR: invalid scan interval"});
  ExpectError({kPort, "-i"}, {"ERROR: invalid scan interval"});
  ExpectError({kPort, "-i70000"}, {"ERROR: invalid scan interval"});  // beyond the radio's 16 bits
  ExpectError({kPort, "-w-1"}, {"ERROR: invalid scan window"});
  ExpectError({kPort, "-w80x"}, {"ERROR: invalid scan window"});
  ExpectError({kPort, "-i160", "-fx"}, {"use scan interval 160", "ERROR: invalid challenge/response frequency"});
  ExpectError({kPort, "-f99999999999"}, {"ERROR: invalid challenge/response frequency"});
}

TEST(CommandLineTest, ARadioThatCannotBeOpenedEndsTheProgram) {
  const Outcome outcome = RunToEnd({"-c/nonexistent/port", kUuid, "-v0", "-i160", "-w80", "-f60", "-r"});
  EXPECT_EQ(outcome.exitCode, 1) << outcome.output;
  ASSERT_GE(outcome.lines.size(), 5u) << outcome.output;
  EXPECT_EQ(std::vector<std::string>(outcome.lines.begin(), outcome.lines.begin() + 4),
            (std::vector<std::string>{"logging level 0", "use scan interval 160", "use scan window 80",
                                      "use challenge/response frequency of 60 seconds"}));
  // The radio's own reason comes first.
  size_t failure = outcome.lines.size();
  size_t reason = outcome.lines.size();
  for (size_t i = 0; i < outcome.lines.size(); ++i) {
    const std::string& line = outcome.lines[i];
    if (line.find("(ERROR) ERROR: failed to initialize KESLUMEN") != std::string::npos) failure = std::min(failure, i);
    if (line.find("/nonexistent/port") != std::string::npos) reason = std::min(reason, i);
  }
  EXPECT_LT(failure, outcome.lines.size()) << outcome.output;
  EXPECT_LT(reason, failure) << outcome.output;
}

TEST(CommandLineTest, AnIntervalWithoutAWindowSaysWhyItIsNotUsed) {
  const Outcome outcome = RunToEnd({"-c/nonexistent/port", kUuid, "-v0", "-i200"});
  ASSERT_GE(outcome.lines.size(), 3u) << outcome.output;
  EXPECT_EQ(outcome.lines[1], "use scan interval 200");
  EXPECT_EQ(outcome.lines[2],
            "scan interval 200 not used: the nRF52 radio scans with the scan window as its interval, so give -w to "
            "change its scan timing");
}

TEST(CommandLineTest, AUuidThatIsNoUuidIsRefusedBeforeTheRadioOpens) {
  const Outcome outcome = RunToEnd({"-c/nonexistent/port", "-u38a094a1-b1a0-472c-bd2f-00243623c0zz"});
  EXPECT_EQ(outcome.exitCode, 1) << outcome.output;
  EXPECT_NE(outcome.output.find("(ERROR) ERROR: invalid UUID 38a094a1-b1a0-472c-bd2f-00243623c0zz"), std::string::npos)
      << outcome.output;
  EXPECT_EQ(outcome.output.find("failed to initialize"), std::string::npos) << outcome.output;
}

}  // namespace
}  // namespace lumenTestApp::test
