// Which library log lines the test program prints at which logging level,
// and the line that ends a test run.
#include <gtest/gtest.h>

#include <regex>

#include "ConsoleOutput.h"

namespace lumenTestApp {
namespace {

using lumen::Logger;

const std::string kStamp = "2024-03-05 14:07:09.045";

std::vector<std::string> Printed(unsigned level, Logger::LogType type, const std::string& message) {
  const LogOutcome outcome = FormatLogLine(level, type, message, kStamp);
  EXPECT_FALSE(outcome.endProcess) << message;
  return outcome.lines;
}

TEST(LogLineTest, EachLevelShowsItsTypes) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(Printed(1, Logger::DEBUG, "d"), Lines{});
  EXPECT_EQ(Printed(2, Logger::DEBUG, "d"), Lines{kStamp + ": (DEBUG) d\n"});
  EXPECT_EQ(Printed(0, Logger::INFO, "i"), Lines{});
  EXPECT_EQ(Printed(1, Logger::INFO, "i"), Lines{kStamp + ": (INFO) i\n"});
  EXPECT_EQ(Printed(0, Logger::WARNING, "w"), Lines{kStamp + ": (WARNING) w\n"});
  EXPECT_EQ(Printed(0, Logger::ERROR, "e"), Lines{kStamp + ": (ERROR) e\n"});
  EXPECT_EQ(Printed(0, static_cast<Logger::LogType>(7), "u"), Lines{kStamp + ": (UNKNOWN) u\n"});
}

TEST(LogLineTest, DriverTransportTracesNeedLevelThree) {
  const std::string trace = "SerializationTransport::readHandler got 12 bytes";
  EXPECT_TRUE(Printed(2, Logger::INFO, trace).empty());
  EXPECT_EQ(Printed(3, Logger::INFO, trace).size(), 1u);
  // Only INFO lines are held back.
  EXPECT_EQ(Printed(0, Logger::WARNING, trace).size(), 1u);
}

TEST(LogLineTest, AConnectionGivenUpOnEndsTheRunWhatEverItsLevel) {
  const std::string message = "no Nordic event was received to complete the call to sd_ble_gattc_read";
  LogOutcome outcome = FormatLogLine(2, Logger::WARNING, message, kStamp);
  EXPECT_TRUE(outcome.endProcess);
  EXPECT_EQ(outcome.lines,
            (std::vector<std::string>{kStamp + ": (WARNING) " + message + "\n", kStamp + ": (ERROR) " + message + "\n",
                                      kStamp + ": Exiting test program\n"}));
  // A DEBUG line hidden at level 0 still ends the run.
  outcome = FormatLogLine(0, Logger::DEBUG, message, kStamp);
  EXPECT_TRUE(outcome.endProcess);
  EXPECT_EQ(outcome.lines.size(), 2u);
}

TEST(LogLineTest, TimestampIsLocalTimeWithMilliseconds) {
  EXPECT_TRUE(std::regex_match(Timestamp(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})"))) << Timestamp();
}

}  // namespace
}  // namespace lumenTestApp
