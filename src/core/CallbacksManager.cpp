#include "core/CallbacksManager.h"

#include <limits>

namespace lumen::details {

CallbacksManager::CallbacksManager() { Log(kDebug, "Start callbacks manager"); }

CallbacksManager::~CallbacksManager() { Log(kDebug, "Stop callbacks manager"); }

int CallbacksManager::NextIdLocked() {
  do {
    m_lastId = m_lastId == std::numeric_limits<int>::max() ? 1 : m_lastId + 1;
  } while (m_nameOfId.count(m_lastId) != 0);
  return m_lastId;
}

bool CallbacksManager::Unsubscribe(int id) {
  if (id <= 0) {
    return false;
  }
  std::lock_guard lock(m_mutex);
  const auto owner = m_nameOfId.find(id);
  if (owner == m_nameOfId.end()) {
    return false;
  }
  const auto entry = m_subscriptions.find(owner->second);
  entry->second.erase(id);
  if (entry->second.empty()) {
    m_subscriptions.erase(entry);
  }
  m_nameOfId.erase(owner);
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
