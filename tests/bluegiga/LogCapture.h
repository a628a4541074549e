#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "lumen/Logger.h"

namespace lumen::testing {

// Collects the library's log lines for the lifetime of a test, and lets a
// test wait for a line to appear.
class LogCapture {
 public:
  LogCapture() {
    Instance() = this;
    Logger::SetLogCallback(&LogCapture::OnLog);
  }
  ~LogCapture() {
    Logger::SetLogCallback(nullptr);
    Instance() = nullptr;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  bool Contains(const std::string& text, Logger::LogType type) {
    std::lock_guard lock(m_mutex);
    return FindLocked(text, type);
  }

  bool WaitFor(const std::string& text, Logger::LogType type,
               std::chrono::milliseconds guard = std::chrono::seconds(10)) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, guard, [&] { return FindLocked(text, type); });
  }

  size_t Count(const std::string& text, Logger::LogType type) {
    std::lock_guard lock(m_mutex);
    size_t count = 0;
    for (const auto& [lineType, line] : m_lines) {
      count += lineType == type && line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
  }

 private:
  static std::atomic<LogCapture*>& Instance() {
    static std::atomic<LogCapture*> instance{nullptr};
    return instance;
  }

  static void OnLog(Logger::LogType type, const std::string& text) {
    if (LogCapture* self = Instance().load()) {
      std::lock_guard lock(self->m_mutex);
      self->m_lines.emplace_back(type, text);
      self->m_changed.notify_all();
    }
  }

  bool FindLocked(const std::string& text, Logger::LogType type) const {
    for (const auto& [lineType, line] : m_lines) {
      if (lineType == type && line.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::pair<Logger::LogType, std::string>> m_lines;
};

}  // namespace lumen::testing
