#pragma once

#include <atomic>
#include <boost/core/noncopyable.hpp>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/CallbacksManager.h"
#include "core/Event.h"

namespace lumen::details {

// What one blocking BGAPI call waits on. Handlers are subscribed before the
// command goes out, so no answer can be missed, and all are unsubscribed
// when the call ends, by return or by exception.
class CommandWaiter : private boost::noncopyable {
 public:
  CommandWaiter() = default;
  ~CommandWaiter() {
    for (const int id : m_subscriptions) {
      try {
        Unsubscribe(id);
      } catch (const std::exception& e) {
        Log(kError, "Failed to unsubscribe from events - reason:", e.what());
      }
    }
  }

  template <class Payload>
  void On(const char* name, std::function<void(Payload)> handler) {
    int id = 0;
    Subscribe<Payload>(name, std::move(handler), &id);
    m_subscriptions.push_back(id);
  }

  Event response;
  Event completed;
  // Kept apart: a procedure's failing end can arrive before the caller has
  // looked at the response, and must not be reported as the response's.
  std::atomic<uint16_t> responseResult{0};
  std::atomic<uint16_t> completionResult{0};

 private:
  std::vector<int> m_subscriptions;
};

}  // namespace lumen::details
