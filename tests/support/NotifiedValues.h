#pragma once

// What a characteristic's changed callback was given, and on which threads,
// for tests to wait on. The callback must not outlive this object.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace lumen::testing {

class NotifiedValues {
 public:
  using Value = std::vector<uint8_t>;

  std::function<void(const Value&)> Callback() {
    return [this](const Value& value) {
      std::lock_guard lock(m_mutex);
      m_values.push_back(value);
      m_threads.insert(std::this_thread::get_id());
      m_arrived.notify_all();
    };
  }

  // True once count values have arrived; the guard only ends a hang.
  bool WaitForCount(size_t count, std::chrono::milliseconds guard) {
    std::unique_lock lock(m_mutex);
    return m_arrived.wait_for(lock, guard, [&] { return m_values.size() >= count; });
  }
  std::vector<Value> Values() const {
    std::lock_guard lock(m_mutex);
    return m_values;
  }
  std::set<std::thread::id> Threads() const {
    std::lock_guard lock(m_mutex);
    return m_threads;
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::vector<Value> m_values;
  std::set<std::thread::id> m_threads;
};

}  // namespace lumen::testing
