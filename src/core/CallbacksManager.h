#pragma once

#include <boost/any.hpp>
#include <boost/core/noncopyable.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/Log.h"

namespace lumen::details {

// The process-wide event bus. Backends publish radio events under a name
// with a typed payload; subscribers get an id to unsubscribe with.
//
// The mutex stays locked while handlers run. A handler (and so application
// code it calls) that subscribes or publishes would deadlock on it: that is
// refused with an error instead. Unsubscribing from a handler (an object
// destroyed there) takes effect when the publish ends.
class CallbacksManager : private boost::noncopyable {
 public:
  CallbacksManager();
  ~CallbacksManager();

  template <class Payload>
  void Subscribe(const char* name, std::function<void(Payload)> handler, int* idOut) {
    RefuseFromHandler("subscribe to", name);
    std::lock_guard lock(m_mutex);
    const int id = NextIdLocked();
    *idOut = id;
    auto entry = m_subscriptions.find(std::string_view(name));
    if (entry == m_subscriptions.end()) {
      entry = m_subscriptions.emplace(name, Handlers{}).first;
    }
    const uint64_t order = m_nextOrder++;
    entry->second.emplace(order, boost::any(std::move(handler)));
    m_ownerOfId.emplace(id, Owner{entry->first, order});
  }

  bool Unsubscribe(int id);

  template <class Payload>
  void Publish(const char* name, Payload payload) {
    Log(kDebug, "Process callback", name);
    RefuseFromHandler("publish", name);
    std::lock_guard lock(m_mutex);
    const auto entry = m_subscriptions.find(std::string_view(name));
    if (entry == m_subscriptions.end()) {
      Log(kWarning, "Unhandled callback", name);
      return;
    }
    PublishingScope publishing(*this);
    for (auto& [order, stored] : entry->second) {
      if (!m_unsubscribedWhilePublishing.empty() && IsUnsubscribedWhilePublishing(order)) {
        continue;
      }
      auto* handler = boost::any_cast<std::function<void(Payload)>>(&stored);
      if (handler == nullptr) {
        throw boost::bad_any_cast();  // subscribed with another payload type
      }
      (*handler)(payload);
    }
  }

  // True on a thread that is running bus handlers: it holds the bus mutex.
  static bool IsPublishingThread() { return t_publishingBus != nullptr; }

  // Test seam: lets the wrap-around after the largest int be reached.
  void SetLastIdForTesting(int lastId);

 private:
  // Keyed by subscription order rather than by id: ids wrap after the
  // largest int, and handlers must still run in the order they subscribed.
  using Handlers = std::map<uint64_t, boost::any>;
  struct Owner {
    std::string name;
    uint64_t order;
  };

  int NextIdLocked();
  // Throws (and logs) when called from a handler on the publishing thread.
  void RefuseFromHandler(const char* what, const char* name) const;
  bool IsUnsubscribedWhilePublishing(uint64_t order) const;
  void EraseLocked(const Owner& owner);

  // Marks this thread as publishing; on leaving, removes what its handlers
  // unsubscribed meanwhile (the loop could not erase under its own feet).
  class PublishingScope : private boost::noncopyable {
   public:
    explicit PublishingScope(CallbacksManager& bus) : m_bus(bus) { t_publishingBus = &bus; }
    ~PublishingScope();

   private:
    CallbacksManager& m_bus;
  };

  static thread_local const CallbacksManager* t_publishingBus;

  std::mutex m_mutex;
  std::map<std::string, Handlers, std::less<>> m_subscriptions;
  // Where each live id is: unsubscribing needs no walk, and the allocator can
  // skip ids still in use after the counter wraps.
  std::map<int, Owner> m_ownerOfId;
  int m_lastId = 0;
  uint64_t m_nextOrder = 0;
  // Subscriptions removed by a handler during the current publish.
  std::vector<Owner> m_unsubscribedWhilePublishing;
};

CallbacksManager& GetCallbacksManager();

// Radio calls and subscriptions from a bus handler (an application callback
// that runs under the bus) would deadlock: they throw KesBluetoothSDKLibError
// instead, with an ERROR line saying so.
void ThrowIfInsideBusHandler(const char* what);
[[noreturn]] void ThrowCalledFromHandler(const std::string& what);

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
