#include "serial/SerialEnvironment.h"

#include <chrono>
#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "support/ChildProcess.h"
#endif

namespace lumen::testing {

namespace {

constexpr std::chrono::seconds kSimulatorStart{30};
constexpr const char* kControlPrefix = "control ";

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

#ifdef _WIN32
// ChildProcess is POSIX only; on Windows the harness always runs the radio.
class ChildProcess {};
#endif

SerialEnvironment& SerialEnvironment::Instance() {
  // Owned by googletest once registered in main.
  static SerialEnvironment* const instance = new SerialEnvironment();
  return *instance;
}

SerialEnvironment::SerialEnvironment() = default;
SerialEnvironment::~SerialEnvironment() = default;

void SerialEnvironment::SetUp() {
  m_port = Variable("LUMEN_TEST_SERIAL_PORT");
  m_control = Variable("LUMEN_TEST_SIM_CONTROL");
  if (!m_port.empty() && !m_control.empty()) return;
  if (!m_port.empty() || !m_control.empty()) {
    GTEST_FAIL() << "set both LUMEN_TEST_SERIAL_PORT (the virtual radio's port) and LUMEN_TEST_SIM_CONTROL "
                    "(lumen-sim's control address, 127.0.0.1:PORT), or neither";
  }
#if defined(_WIN32) || !defined(LUMEN_SIM_PROGRAM)
  GTEST_FAIL() << "no virtual radio: set LUMEN_TEST_SERIAL_PORT (e.g. COM12) and LUMEN_TEST_SIM_CONTROL "
                  "(e.g. 127.0.0.1:40123), as scripts/with-virtual-bled112.sh does";
#else
  StartOwnSimulator();
#endif
}

void SerialEnvironment::StartOwnSimulator() {
#if !defined(_WIN32) && defined(LUMEN_SIM_PROGRAM)
  std::string pattern =
      (Variable("TMPDIR").empty() ? std::string("/tmp") : Variable("TMPDIR")) + "/lumen-serial-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) GTEST_FAIL() << "cannot make a directory for the port's link";
  m_linkDirectory = pattern;
  m_port = m_linkDirectory + "/ttyBLED112";
  m_simulator = std::make_unique<ChildProcess>();
  m_simulator->Start(LUMEN_SIM_PROGRAM, {"--control", "0", "--link", m_port});
  if (!m_simulator->WaitForLine(kControlPrefix, kSimulatorStart)) {
    GTEST_FAIL() << "lumen-sim did not report its control channel:\n" << m_simulator->Output();
  }
  for (const std::string& line : m_simulator->Lines()) {
    if (line.rfind(kControlPrefix, 0) == 0) m_control = line.substr(std::string(kControlPrefix).size());
  }
#endif
}

void SerialEnvironment::TearDown() {
#ifndef _WIN32
  if (!m_simulator) return;
  // End of input is how lumen-sim is asked to stop; it must end cleanly.
  m_simulator->CloseInput();
  const auto exit = m_simulator->WaitForExit(std::chrono::seconds(30));
  EXPECT_EQ(exit, 0) << "lumen-sim did not end cleanly:\n" << m_simulator->Output();
  m_simulator.reset();
  ::rmdir(m_linkDirectory.c_str());
#endif
}

}  // namespace lumen::testing
