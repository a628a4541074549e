#pragma once

#include <boost/core/noncopyable.hpp>
#include <chrono>
#include <string>

namespace lumen::Nordic {

// Logs at DEBUG how long an operation took ("<name> 1.005 sec"), however it ends.
class OperationTimer : private boost::noncopyable {
 public:
  explicit OperationTimer(const char* name);
  ~OperationTimer();

  // "<seconds>.<milliseconds as three digits> sec"
  static std::string FormatElapsed(std::chrono::milliseconds elapsed);

 private:
  const char* m_name;
  std::chrono::steady_clock::time_point m_start;
};

}  // namespace lumen::Nordic
