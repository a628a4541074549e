#include "bluegiga/LinkReconciler.h"

#include <exception>

#include "bluegiga/BGCalls.h"
#include "core/Log.h"

namespace lumen::details {

LinkReconciler::LinkReconciler() : m_thread([this] { Run(); }) {
  BGCalls::SetReconciliationWake(this, [this] { Wake(); });
}

LinkReconciler::~LinkReconciler() {
  BGCalls::ClearReconciliationWake(this);
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void LinkReconciler::Wake() {
  {
    std::lock_guard lock(m_mutex);
    m_woken = true;
  }
  m_changed.notify_all();
}

void LinkReconciler::Run() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [this] { return m_woken || m_stopping; });
    if (m_stopping) {
      return;
    }
    m_woken = false;
    lock.unlock();
    // A pass the radio does not answer stays pending; the next command that
    // goes unanswered, or is answered, wakes this thread again. No polling.
    try {
      BGCalls::ReconcileConnections();
    } catch (const std::exception& e) {
      Log(kError, "Reconcile connections failed:", e.what());
    } catch (...) {
      Log(kError, "Reconcile connections failed with a non-standard exception");
    }
    lock.lock();
  }
}

}  // namespace lumen::details
