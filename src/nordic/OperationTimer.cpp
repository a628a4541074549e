#include "nordic/OperationTimer.h"

#include <cstdio>

#include "core/Log.h"

namespace lumen::Nordic {

OperationTimer::OperationTimer(const char* name) : m_name(name), m_start(std::chrono::steady_clock::now()) {}

OperationTimer::~OperationTimer() {
  try {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start);
    details::Log(details::kDebug, m_name, FormatElapsed(elapsed));
  } catch (...) {
    // Runs during unwinding too: nothing may leave a destructor.
  }
}

std::string OperationTimer::FormatElapsed(std::chrono::milliseconds elapsed) {
  const long long ms = elapsed.count() < 0 ? 0 : static_cast<long long>(elapsed.count());
  char text[48];
  std::snprintf(text, sizeof text, "%lld.%03lld sec", ms / 1000, ms % 1000);
  return text;
}

}  // namespace lumen::Nordic
