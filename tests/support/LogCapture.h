#pragma once

#include <algorithm>
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
  size_t Count(Logger::LogType type, const std::string& text) const { return CountIf(Exactly(type, text)); }

  // Whether a line of that level contains the fragment.
  bool HasContaining(Logger::LogType type, const std::string& fragment) const {
    return CountContaining(type, fragment) > 0;
  }
  size_t CountContaining(Logger::LogType type, const std::string& fragment) const {
    return CountIf(Containing(type, fragment));
  }

  // Block until a line of that level contains the fragment, or is exactly the
  // text; the time-out only guards against a hang.
  bool WaitForContaining(Logger::LogType type, const std::string& fragment,
                         std::chrono::milliseconds guard = std::chrono::seconds(10)) const {
    return WaitUntil(Containing(type, fragment), guard);
  }
  bool WaitFor(Logger::LogType type, const std::string& text,
               std::chrono::milliseconds guard = std::chrono::seconds(10)) const {
    return WaitUntil(Exactly(type, text), guard);
  }

 private:
  using Match = std::function<bool(const Line&)>;

  static Match Exactly(Logger::LogType type, const std::string& text) {
    return [type, text](const Line& line) { return line.type == type && line.text == text; };
  }
  static Match Containing(Logger::LogType type, const std::string& fragment) {
    return [type, fragment](const Line& line) {
      return line.type == type && line.text.find(fragment) != std::string::npos;
    };
  }

  size_t CountIf(const Match& match) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), match));
  }

  bool WaitUntil(const Match& match, std::chrono::milliseconds guard) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, guard, [&] { return std::any_of(lines_.begin(), lines_.end(), match); });
  }

  // Notifies under the lock: a waiter that sees the line may end the test and
  // the process, and a notify still under way on a library thread would then
  // touch a condition variable already destroyed.
  static void Record(Logger::LogType type, const std::string& text) {
    std::lock_guard lock(mutex_);
    lines_.push_back({type, text});
    changed_.notify_all();
  }

  static inline std::mutex mutex_;
  static inline std::condition_variable changed_;
  static inline std::vector<Line> lines_;

  Logger::Callback m_previous;
};

}  // namespace lumen::testing
