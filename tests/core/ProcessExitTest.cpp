// What only a whole process shows: exiting with the radio still open.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/TempPath.h"

namespace {

#ifdef LUMEN_EXIT_WITHOUT_UNINITIALIZE
// Radio threads still publish while statics are destroyed; under the
// sanitizers a use after free there fails the child.
void ExpectCleanExit(const std::string& radio, const std::string& arguments = "") {
  const std::string command = std::string(LUMEN_EXIT_WITHOUT_UNINITIALIZE) + " " + radio + " " + arguments + " 2>&1";
  FILE* child = popen(command.c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string output;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, child)) {
    output.append(buffer, n);
  }
  const int status = pclose(child);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 0) << output;
  EXPECT_NE(output.find("returning from main"), std::string::npos) << output;
}

TEST(ProcessExitTest, ReturningFromMainWithoutUnInitializeEndsCleanly) { ExpectCleanExit("bled112"); }

#ifdef LUMEN_VIRTUAL_NRF52
// The driver's event thread keeps delivering while the process exits.
// The scenario file is the board's port: it stays until the process has ended.
TEST(ProcessExitTest, ReturningFromMainWithANordicBoardOpenEndsCleanly) {
  const std::string scenario = lumen::testing::UniqueTempPath("lumen-exit-nrf52", ".json").string();
  ExpectCleanExit("nrf52", scenario);
  std::error_code ignored;
  std::filesystem::remove(scenario, ignored);
}
#endif
#endif

}  // namespace
