#pragma once

#include <boost/any.hpp>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "core/Log.h"

namespace lumen::details {

// The process-wide event bus. Backends publish radio events under a name
// with a typed payload; subscribers get an id to unsubscribe with.
//
// The mutex stays locked while handlers run, so a handler must not subscribe,
// unsubscribe or publish: it records what it got and signals or hands off.
class CallbacksManager {
 public:
  CallbacksManager();
  ~CallbacksManager();
  CallbacksManager(const CallbacksManager&) = delete;
  CallbacksManager& operator=(const CallbacksManager&) = delete;

  template <class Payload>
  void Subscribe(const char* name, std::function<void(Payload)> handler, int* idOut) {
    std::lock_guard lock(m_mutex);
    const int id = NextIdLocked();
    *idOut = id;
    auto entry = m_subscriptions.find(std::string_view(name));
    if (entry == m_subscriptions.end()) {
      entry = m_subscriptions.emplace(name, Handlers{}).first;
    }
    entry->second.emplace(id, boost::any(std::move(handler)));
    m_nameOfId.emplace(id, entry->first);
  }

  bool Unsubscribe(int id);

  template <class Payload>
  void Publish(const char* name, Payload payload) {
    Log(kDebug, "Process callback", name);
    std::lock_guard lock(m_mutex);
    const auto entry = m_subscriptions.find(std::string_view(name));
    if (entry == m_subscriptions.end()) {
      Log(kWarning, "Unhandled callback", name);
      return;
    }
    for (auto& [id, stored] : entry->second) {
      auto* handler = boost::any_cast<std::function<void(Payload)>>(&stored);
      if (handler == nullptr) {
        throw boost::bad_any_cast();  // subscribed with another payload type
      }
      (*handler)(payload);
    }
  }

  // Test seam: lets the wrap-around after the largest int be reached.
  void SetLastIdForTesting(int lastId);

 private:
  using Handlers = std::map<int, boost::any>;

  int NextIdLocked();

  std::mutex m_mutex;
  std::map<std::string, Handlers, std::less<>> m_subscriptions;
  // Which name holds each live id: unsubscribing needs no walk, and the
  // allocator can skip ids still in use after the counter wraps.
  std::map<int, std::string> m_nameOfId;
  int m_lastId = 0;
};

CallbacksManager& GetCallbacksManager();

template <class Payload>
void Subscribe(const char* name, std::function<void(Payload)> handler, int* idOut) {
  GetCallbacksManager().Subscribe<Payload>(name, std::move(handler), idOut);
}

bool Unsubscribe(int id);

template <class Payload>
void Publish(const char* name, Payload payload) {
  GetCallbacksManager().Publish<Payload>(name, payload);
}

}  // namespace lumen::details
