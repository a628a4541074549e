#include "core/CallbacksManager.h"

#include <limits>

#include "lumen/Errors.h"

namespace lumen::details {

CallbacksManager::CallbacksManager() { Log(kDebug, "Start callbacks manager"); }

CallbacksManager::~CallbacksManager() { Log(kDebug, "Stop callbacks manager"); }

int CallbacksManager::NextIdLocked() {
  do {
    m_lastId = m_lastId == std::numeric_limits<int>::max() ? 1 : m_lastId + 1;
  } while (m_ownerOfId.count(m_lastId) != 0);
  return m_lastId;
}

thread_local const CallbacksManager* CallbacksManager::t_publishingBus = nullptr;

void CallbacksManager::RefuseFromHandler(const char* what, const char* name) const {
  if (t_publishingBus == this) {
    ThrowCalledFromHandler(std::string(what) + " " + name);
  }
}

void ThrowIfInsideBusHandler(const char* what) {
  if (CallbacksManager::IsPublishingThread()) {
    ThrowCalledFromHandler(what);
  }
}

void ThrowCalledFromHandler(const std::string& what) {
  // A log callback that calls the library again must not recurse through here.
  static thread_local bool refusing = false;
  const std::string text = "lumen call made from a library callback (cannot " + what +
                           " while the event bus is busy on this thread); hand the work to another thread";
  if (!refusing) {
    refusing = true;
    Log(kError, text);
    refusing = false;
  }
  throw KesBluetoothSDKLibError(text, kErrorGeneral);
}

bool CallbacksManager::Unsubscribe(int id) {
  if (id <= 0) {
    return false;
  }
  if (t_publishingBus == this) {
    // This thread holds the mutex and a publish loop is walking the table:
    // forget the id now, erase the handler when the loop is done.
    const auto owner = m_ownerOfId.find(id);
    if (owner == m_ownerOfId.end()) {
      return false;
    }
    m_unsubscribedWhilePublishing.push_back(owner->second);
    m_ownerOfId.erase(owner);
    return true;
  }
  std::lock_guard lock(m_mutex);
  const auto owner = m_ownerOfId.find(id);
  if (owner == m_ownerOfId.end()) {
    return false;
  }
  EraseLocked(owner->second);
  m_ownerOfId.erase(owner);
  return true;
}

void CallbacksManager::EraseLocked(const Owner& owner) {
  const auto entry = m_subscriptions.find(owner.name);
  if (entry == m_subscriptions.end()) {
    return;
  }
  entry->second.erase(owner.order);
  if (entry->second.empty()) {
    m_subscriptions.erase(entry);
  }
}

bool CallbacksManager::IsUnsubscribedWhilePublishing(uint64_t order) const {
  for (const Owner& owner : m_unsubscribedWhilePublishing) {
    if (owner.order == order) {
      return true;
    }
  }
  return false;
}

CallbacksManager::PublishingScope::~PublishingScope() {
  t_publishingBus = nullptr;
  for (const Owner& owner : m_bus.m_unsubscribedWhilePublishing) {
    m_bus.EraseLocked(owner);
  }
  m_bus.m_unsubscribedWhilePublishing.clear();
}

void CallbacksManager::SetLastIdForTesting(int lastId) {
  std::lock_guard lock(m_mutex);
  m_lastId = lastId;
}

CallbacksManager& GetCallbacksManager() {
  // Never destroyed: radio threads, and application objects destroyed at
  // exit, may still publish or unsubscribe after the statics are gone.
  static CallbacksManager* const instance = new CallbacksManager();
  return *instance;
}

bool Unsubscribe(int id) { return GetCallbacksManager().Unsubscribe(id); }

}  // namespace lumen::details
