#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace lumen::testing {

class ChildProcess;

// Where the virtual BLED112 is: the serial port the library opens and the
// address of lumen-sim's control channel. Taken from LUMEN_TEST_SERIAL_PORT
// and LUMEN_TEST_SIM_CONTROL (set by scripts/with-virtual-bled112.sh); on
// Linux, when both are unset, a lumen-sim of the process's own is started.
class SerialEnvironment : public ::testing::Environment {
 public:
  static SerialEnvironment& Instance();

  SerialEnvironment();
  ~SerialEnvironment() override;

  void SetUp() override;
  void TearDown() override;

  const std::string& Port() const { return m_port; }
  const std::string& ControlAddress() const { return m_control; }

 private:
  void StartOwnSimulator();

  std::string m_port;
  std::string m_control;
  std::unique_ptr<ChildProcess> m_simulator;  // only when started here
  std::string m_linkDirectory;
};

}  // namespace lumen::testing
