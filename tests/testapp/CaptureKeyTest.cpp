// The 'c' key: a capture of the radio's traffic in the working directory.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "TestAppRun.h"

namespace lumenTestApp::test {
namespace {

std::string Contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CaptureKeyTest, CTogglesACaptureInTheWorkingDirectoryAndPrintsItsName) {
  const std::filesystem::path dir =
      std::filesystem::path(::testing::TempDir()) / ("lumenTestApp-capture-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  lumen::testing::ChildProcess::Options options;
  options.workingDirectory = dir.string();
  {
    TestAppRun app(PhoneTrackingScenario(), {"-v1"}, options);
    size_t at = app.Await("'c' to start or stop a capture of the radio's traffic");
    app.Press('c');
    at = app.Await("capture started: lumen-", at);
    const std::string started = app.Line(at);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(started, match, std::regex(R"(lumen-\d{8}-\d{6}\.pcapng$)"))) << started;
    const std::string name = match.str();
    at = app.Await(kFound, at);
    app.Press('c');
    at = app.Await("capture stopped: " + name, at);
    app.Press('q');
    app.Await("Exiting", at);
    app.ExpectExit(0);

    const std::string capture = Contents(dir / name);
    ASSERT_GE(capture.size(), 4u);
    EXPECT_EQ(capture.substr(0, 4), std::string("\x0A\x0D\x0D\x0A", 4));  // a pcapng section
    // The search that found the phone: its driver calls and events.
    EXPECT_NE(capture.find("sd_ble_gap_connect"), std::string::npos);
    EXPECT_NE(capture.find("BLE_GAP_EVT_CONNECTED"), std::string::npos);
    EXPECT_NE(capture.find("BLE_GAP_EVT_ADV_REPORT"), std::string::npos);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace lumenTestApp::test
