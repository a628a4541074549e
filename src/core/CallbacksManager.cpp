#include "core/CallbacksManager.h"

#include <limits>

namespace lumen::details {

CallbacksManager::CallbacksManager() { Log(kDebug, "Start callbacks manager"); }

CallbacksManager::~CallbacksManager() { Log(kDebug, "Stop callbacks manager"); }

int CallbacksManager::NextIdLocked() {
  do {
    m_lastId = m_lastId == std::numeric_limits<int>::max() ? 1 : m_lastId + 1;
  } while (m_ownerOfId.count(m_lastId) != 0);
  return m_lastId;
}

bool CallbacksManager::Unsubscribe(int id) {
  if (id <= 0) {
    return false;
  }
  std::lock_guard lock(m_mutex);
  const auto owner = m_ownerOfId.find(id);
  if (owner == m_ownerOfId.end()) {
    return false;
  }
  const auto entry = m_subscriptions.find(owner->second.name);
  entry->second.erase(owner->second.order);
  if (entry->second.empty()) {
    m_subscriptions.erase(entry);
  }
  m_ownerOfId.erase(owner);
  return true;
}

void CallbacksManager::SetLastIdForTesting(int lastId) {
  std::lock_guard lock(m_mutex);
  m_lastId = lastId;
}

CallbacksManager& GetCallbacksManager() {
  static CallbacksManager instance;
  return instance;
}

bool Unsubscribe(int id) { return GetCallbacksManager().Unsubscribe(id); }

}  // namespace lumen::details
