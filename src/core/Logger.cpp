#include "lumen/Logger.h"

namespace lumen {

std::atomic<Logger::Callback> Logger::callback_{nullptr};

const char* Logger::LogTypeToString(LogType type) {
  switch (type) {
    case DEBUG:
      return "DEBUG";
    case INFO:
      return "INFO";
    case WARNING:
      return "WARNING";
    case ERROR:
      return "ERROR";
  }
  return "Unknown";
}

void Logger::SetLogCallback(Callback callback) { callback_.store(callback, std::memory_order_relaxed); }

}  // namespace lumen
