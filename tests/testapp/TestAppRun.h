#pragma once

// lumenTestApp run as a separate process against the virtual nRF52 board,
// with a scenario each test shapes for itself.

#include <gtest/gtest.h>

#include <chrono>
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

class TestAppRun {
 public:
  // Runs lumenTestApp on the scenario with -u<authentication service> and the
  // given options (-c and -u are added).
  TestAppRun(const nlohmann::json& scenario, const std::vector<std::string>& options,
             lumen::testing::ChildProcess::Options processOptions = {})
      : m_scenarioPath(ScenarioPath()) {
    std::ofstream(m_scenarioPath) << scenario.dump(2);
    std::vector<std::string> args{"-c" + m_scenarioPath, "-u" + kAuthService};
    args.insert(args.end(), options.begin(), options.end());
    m_process.Start(LUMEN_TEST_APP, args, processOptions);
  }
  ~TestAppRun() { std::remove(m_scenarioPath.c_str()); }

  lumen::testing::ChildProcess& process() { return m_process; }

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
