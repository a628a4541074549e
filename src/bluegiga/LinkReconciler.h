#pragma once

#include <boost/core/noncopyable.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace lumen::details {

// Runs the command layer's connection reconciliation on a thread of its own,
// so neither the serial reader nor the command that went unanswered waits
// for it. Woken by the command layer; idle otherwise.
class LinkReconciler : private boost::noncopyable {
 public:
  LinkReconciler();
  ~LinkReconciler();

 private:
  void Wake();
  void Run();

  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_woken = false;
  bool m_stopping = false;
  std::thread m_thread;
};

}  // namespace lumen::details
