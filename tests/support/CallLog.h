#pragma once

// The calls a fake saw, in order, for tests to read and wait on from any
// thread. Call is the fake's own record; kName names the member a call is
// counted by.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/Guard.h"

namespace lumen::testing {

template <typename Call, std::string Call::*kName>
class CallLog {
 public:
  void Add(Call call) {
    {
      std::lock_guard lock(m_mutex);
      m_calls.push_back(std::move(call));
    }
    m_changed.notify_all();
  }

  std::vector<Call> All() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }
  std::vector<Call> Named(const std::string& name) const {
    std::lock_guard lock(m_mutex);
    std::vector<Call> matching;
    std::copy_if(m_calls.begin(), m_calls.end(), std::back_inserter(matching),
                 [&](const Call& call) { return call.*kName == name; });
    return matching;
  }
  std::vector<std::string> Names() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> names;
    for (const Call& call : m_calls) {
      names.push_back(call.*kName);
    }
    return names;
  }
  size_t Count(const std::string& name) const {
    std::lock_guard lock(m_mutex);
    return CountLocked(name);
  }
  void Clear() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
  }
  // Blocks until `name` has been called `count` times; the guard only ends a hang.
  bool WaitForCount(const std::string& name, size_t count, std::chrono::milliseconds guard = kGuard) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, guard, [&] { return CountLocked(name) >= count; });
  }

 private:
  size_t CountLocked(const std::string& name) const {
    return static_cast<size_t>(
        std::count_if(m_calls.begin(), m_calls.end(), [&](const Call& call) { return call.*kName == name; }));
  }

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<Call> m_calls;
};

}  // namespace lumen::testing
