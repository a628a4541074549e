#include "ConsoleOutput.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "ConsoleKeys.h"

namespace lumenTestApp {

std::atomic<unsigned> g_loggingLevel{2};
std::atomic<unsigned> g_advertCount{0};

namespace {

// Held while printing; EndProcess keeps it so that nothing follows the last lines.
std::mutex& PrintMutex() {
  static auto* mutex = new std::mutex;  // outlives static destruction
  return *mutex;
}

void WriteLocked(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

std::string Line(const std::string& timestamp, const char* label, const std::string& message) {
  return timestamp + ": (" + label + ") " + message + "\n";
}

}  // namespace

void Print(const std::string& text) {
  std::lock_guard lock(PrintMutex());
  WriteLocked(text);
}

void PrintF(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length > 0) {
    Print(std::string(buffer, std::min(static_cast<size_t>(length), sizeof buffer - 1)));
  }
}

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[32];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  char withMillis[40];
  std::snprintf(withMillis, sizeof withMillis, "%.*s.%03d", static_cast<int>(length), text, static_cast<int>(millis));
  return withMillis;
}

LogOutcome FormatLogLine(unsigned level, lumen::Logger::LogType type, const std::string& message,
                         const std::string& timestamp) {
  LogOutcome outcome;
  switch (type) {
    case lumen::Logger::DEBUG:
      if (level >= 2) {
        outcome.lines.push_back(Line(timestamp, "DEBUG", message));
      }
      break;
    case lumen::Logger::INFO:
      // The driver's transport traces are only wanted when asked for.
      if (level >= (Contains(message, "SerializationTransport::readHandler") ? 3u : 1u)) {
        outcome.lines.push_back(Line(timestamp, "INFO", message));
      }
      break;
    case lumen::Logger::WARNING:
      outcome.lines.push_back(Line(timestamp, "WARNING", message));
      break;
    case lumen::Logger::ERROR:
      outcome.lines.push_back(Line(timestamp, "ERROR", message));
      break;
    default:
      outcome.lines.push_back(Line(timestamp, "UNKNOWN", message));
      break;
  }
  // The backend gave up on a connection: this test run has failed.
  if (Contains(message, "no Nordic event")) {
    outcome.lines.push_back(Line(timestamp, "ERROR", message));
    outcome.lines.push_back(timestamp + ": Exiting test program\n");
    outcome.endProcess = true;
  }
  return outcome;
}

void OnLog(lumen::Logger::LogType type, const std::string& message) {
  const LogOutcome outcome = FormatLogLine(g_loggingLevel.load(), type, message, Timestamp());
  std::unique_lock lock(PrintMutex());
  for (const std::string& line : outcome.lines) {
    WriteLocked(line);
  }
  if (outcome.endProcess) {
    RestoreConsole();
    std::_Exit(1);
  }
}

void EndProcess(int exitCode) {
  std::lock_guard lock(PrintMutex());
  std::fflush(stdout);
  RestoreConsole();
  std::_Exit(exitCode);
}

}  // namespace lumenTestApp
