#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/CallbacksManager.h"
#include "lumen/Logger.h"

namespace lumen::bgapi_test {

// Records log lines while alive and puts the previous callback back after.
class CapturedLog {
 public:
  struct Line {
    Logger::LogType type;
    std::string text;
  };

  CapturedLog() : m_previous(Logger::callback_.load()) {
    {
      std::lock_guard lock(mutex_);
      lines_.clear();
    }
    Logger::SetLogCallback(&CapturedLog::Record);
  }
  ~CapturedLog() { Logger::SetLogCallback(m_previous); }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

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

  bool HasContaining(Logger::LogType type, const std::string& fragment) const {
    for (const std::string& text : Lines(type)) {
      if (text.find(fragment) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

 private:
  static void Record(Logger::LogType type, const std::string& text) {
    std::lock_guard lock(mutex_);
    lines_.push_back({type, text});
  }

  static inline std::mutex mutex_;
  static inline std::vector<Line> lines_;

  Logger::Callback m_previous;
};

// A bus subscription that ends with the scope.
template <class Payload>
class ScopedSubscription {
 public:
  ScopedSubscription(const char* name, std::function<void(Payload)> handler) {
    details::Subscribe<Payload>(name, std::move(handler), &m_id);
  }
  ~ScopedSubscription() { details::Unsubscribe(m_id); }
  ScopedSubscription(const ScopedSubscription&) = delete;
  ScopedSubscription& operator=(const ScopedSubscription&) = delete;

 private:
  int m_id = 0;
};

}  // namespace lumen::bgapi_test
