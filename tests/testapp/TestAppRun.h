#pragma once

// lumenTestApp run as a separate process against the virtual nRF52 board,
// with a scenario each test shapes for itself.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace lumenTestApp::test {

inline const std::string kAuthService = "38a094a1-b1a0-472c-bd2f-00243623c016";
inline const std::string kChallenge = "7198c97a-914a-432d-b828-0eea0e2b65fc";
inline const std::string kResponse = "0b9db0e5-c5b3-4043-8294-44d8112adc54";
inline const std::string kFeature = "57862960-5b0f-4ce0-a255-30997b420c79";
inline const std::string kPhoneAddress = "6c:21:43:65:87:a9";
// The line that says the program found the phone by its service.
inline const std::string kFound = "KESLUMEN found phone MAC " + kPhoneAddress + " UUID " + kAuthService;
// The phone that serves its own UUID but lacks the feature characteristic.
inline const std::string kRefusedPhoneUuid = "016e9c91-5c83-4eae-b52a-0e7c72201c7b";
inline const std::string kRefusedPhoneAddress = "5e:12:34:56:78:9a";

// Long enough for a loaded machine under a sanitizer; only a failure waits it out.
constexpr std::chrono::seconds kPatience{60};

inline nlohmann::json PhoneTrackingScenario() {
  std::ifstream file(LUMEN_SIM_SCENARIO_DIR "/phone-tracking.json");
  return nlohmann::json::parse(file);
}

inline nlohmann::json& Peripheral(nlohmann::json& scenario, const std::string& name) {
  for (auto& peripheral : scenario["peripherals"]) {
    if (peripheral["name"] == name) return peripheral;
  }
  throw std::runtime_error("no peripheral " + name);
}

// The tracked phone answers the challenge with `count` notifications,
// `intervalMs` apart (0: all at once).
inline void SetResponseChunks(nlohmann::json& scenario, unsigned count, unsigned intervalMs = 15) {
  auto& behaviour = Peripheral(scenario, "phone-in-background")["behaviours"][0];
  auto values = behaviour["values"];
  behaviour["values"] = nlohmann::json::array();
  for (unsigned i = 0; i < count; ++i) behaviour["values"].push_back(values[i % values.size()]);
  behaviour["count"] = count;
  behaviour["interval_ms"] = intervalMs;
}

// The timestamp that starts a log line ("2026-12-09 01:33:20.307: ..."), as
// milliseconds since an arbitrary origin.
inline std::chrono::milliseconds LoggedAt(const std::string& line) {
  std::tm time{};
  int millis = 0;
  if (std::sscanf(line.c_str(), "%d-%d-%d %d:%d:%d.%d:", &time.tm_year, &time.tm_mon, &time.tm_mday, &time.tm_hour,
                  &time.tm_min, &time.tm_sec, &millis) != 7) {
    ADD_FAILURE() << "no timestamp in \"" << line << "\"";
    return {};
  }
  time.tm_year -= 1900;
  time.tm_mon -= 1;
  return std::chrono::seconds(timegm(&time)) + std::chrono::milliseconds(millis);
}

class TestAppRun {
 public:
  // Runs lumenTestApp on the scenario with -u<authentication service> and the
  // given options (-c and -u are added).
  // With a `shellScript`, bash runs the script instead, with the program and
  // its arguments as "$@".
  TestAppRun(const nlohmann::json& scenario, const std::vector<std::string>& options,
             lumen::testing::ChildProcess::Options processOptions = {}, const std::string& shellScript = "")
      : m_scenarioPath(ScenarioPath()) {
    std::ofstream(m_scenarioPath) << scenario.dump(2);
    std::vector<std::string> args{"-c" + m_scenarioPath, "-u" + kAuthService};
    args.insert(args.end(), options.begin(), options.end());
    if (shellScript.empty()) {
      m_process.Start(LUMEN_TEST_APP, args, processOptions);
      return;
    }
    args.insert(args.begin(), {"-c", shellScript, "bash", LUMEN_TEST_APP});
    m_process.Start("/bin/bash", args, processOptions);
  }
  ~TestAppRun() { std::remove(m_scenarioPath.c_str()); }

  lumen::testing::ChildProcess& process() { return m_process; }
  // The scenario file, which is also the board's port.
  const std::string& scenarioPath() const { return m_scenarioPath; }

  // Waits for the next line after `from` that contains `text`; its index.
  size_t Await(const std::string& text, size_t from = 0) {
    const auto line = m_process.WaitForLineAfter(from, text, kPatience);
    if (!line) {
      ADD_FAILURE() << "no line with \"" << text << "\" after line " << from << "; output:\n" << m_process.Output();
      return m_process.LineCount();
    }
    return *line;
  }
  size_t Count(const std::string& text) { return m_process.CountLines(text); }
  std::string Line(size_t index) {
    const std::vector<std::string> lines = m_process.Lines();
    return index < lines.size() ? lines[index] : std::string();
  }
  // The time between the timestamps that start two log lines.
  std::chrono::milliseconds Between(size_t earlier, size_t later) {
    return LoggedAt(Line(later)) - LoggedAt(Line(earlier));
  }

  // Sends a key (no Enter needed).
  void Press(char key) { m_process.Write(std::string(1, key)); }

  // Ends input and expects the clean stop.
  void ExpectCleanExitAfterEndOfInput() {
    m_process.CloseInput();
    ExpectExit(0);
    EXPECT_EQ(Count("Exiting"), 1u) << m_process.Output();
  }

  void ExpectExit(int code) {
    const auto exit = m_process.WaitForExit(kPatience);
    ASSERT_TRUE(exit.has_value()) << "still running; output:\n" << m_process.Output();
    EXPECT_EQ(*exit, code) << m_process.Output();
  }

 private:
  static std::string ScenarioPath() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return ::testing::TempDir() + "lumenTestApp-" + info->test_suite_name() + "-" + info->name() + "-" +
           std::to_string(::getpid()) + ".json";
  }

  std::string m_scenarioPath;
  lumen::testing::ChildProcess m_process;
};

}  // namespace lumenTestApp::test
