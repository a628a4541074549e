#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/CallbacksManager.h"

namespace lumen::bgapi_test {

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
