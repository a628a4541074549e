#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "lumen/Logger.h"

namespace lumen::testing {

// Records every log line for the lifetime of the object, from any thread, and
// puts the previous callback back afterwards. One at a time per process.
class LogCapture {
 public:
  struct Line {
    Logger::LogType type;
    std::string text;
  };

  LogCapture() : m_previous(Logger::callback_.load()) {
    {
      std::lock_guard lock(mutex_);
      lines_.clear();
    }
    Logger::SetLogCallback(&LogCapture::Record);
  }
  ~LogCapture() { Logger::SetLogCallback(m_previous); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  // The texts of the lines of one level, in order.
  std::vector<std::string> Lines(Logger::LogType type) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const Line& line : lines_) {
      if (line.type == type) {
        texts.push_back(line.text);
      }
    }
    return texts;
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

  bool Has(Logger::LogType type, const std::string& text) const { return Count(type, text) > 0; }

  size_t Count(Logger::LogType type, const std::string& text) const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const Line& line : lines_) {
      count += line.type == type && line.text == text ? 1 : 0;
    }
    return count;
  }

  // Whether a line of that level contains the fragment.
  bool HasContaining(Logger::LogType type, const std::string& fragment) const {
    std::lock_guard lock(mutex_);
    for (const Line& line : lines_) {
      if (line.type == type && line.text.find(fragment) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  size_t CountContaining(Logger::LogType type, const std::string& fragment) const {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const Line& line : lines_) {
      count += line.type == type && line.text.find(fragment) != std::string::npos ? 1 : 0;
    }
    return count;
  }

  // Blocks until a line of that level contains the fragment; the time-out
  // only guards against a hang.
  bool WaitForContaining(Logger::LogType type, const std::string& fragment,
                         std::chrono::milliseconds guard = std::chrono::seconds(10)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, guard, [&] {
      for (const Line& line : lines_) {
        if (line.type == type && line.text.find(fragment) != std::string::npos) {
          return true;
        }
      }
      return false;
    });
  }

  // Blocks until a line of that level is exactly text; the time-out only
  // guards against a hang.
  bool WaitFor(Logger::LogType type, const std::string& text,
               std::chrono::milliseconds guard = std::chrono::seconds(10)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, guard, [&] {
      for (const Line& line : lines_) {
        if (line.type == type && line.text == text) {
          return true;
        }
      }
      return false;
    });
  }

 private:
  static void Record(Logger::LogType type, const std::string& text) {
    {
      std::lock_guard lock(mutex_);
      lines_.push_back({type, text});
    }
    changed_.notify_all();
  }

  static inline std::mutex mutex_;
  static inline std::condition_variable changed_;
  static inline std::vector<Line> lines_;

  Logger::Callback m_previous;
};

}  // namespace lumen::testing
