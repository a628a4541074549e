#pragma once

#include "lumen/Logger.h"

namespace lumen::details {

// Short names for the library's own log calls.
constexpr Logger::LogType kDebug = Logger::DEBUG;
constexpr Logger::LogType kInfo = Logger::INFO;
constexpr Logger::LogType kWarning = Logger::WARNING;
constexpr Logger::LogType kError = Logger::ERROR;

template <class... Pieces>
void Log(Logger::LogType type, const Pieces&... pieces) {
  Logger::Log(type, pieces...);
}

}  // namespace lumen::details
