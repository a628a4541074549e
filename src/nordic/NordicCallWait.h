#pragma once

#include <boost/core/noncopyable.hpp>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/CallbacksManager.h"
#include "core/Event.h"

namespace lumen::Nordic {

// The context of one driver call that waits for its completing event: the
// event to wait on, the call's name and the bus subscriptions made for this
// call only. Handlers run on the driver's thread until the destructor has
// unsubscribed them; that happens before any member dies, so a handler may use
// everything the wait owns. They update the call's results under Lock() and
// only while the call is still open, so a late event cannot touch results the
// caller is already reading.
class NordicCallWait : private boost::noncopyable {
 public:
  explicit NordicCallWait(std::string name = {}) : m_name(std::move(name)) {}
  ~NordicCallWait() {
    for (const int id : m_subscriptions) {
      details::Unsubscribe(id);
    }
  }

  template <class Payload>
  void Subscribe(const char* name, std::function<void(Payload)> handler) {
    int id = 0;
    details::Subscribe<Payload>(name, std::move(handler), &id);
    m_subscriptions.push_back(id);
  }

  // The driver function waited for, for the handlers' log lines.
  const std::string& Name() const { return m_name; }
  details::Event& Done() { return m_done; }
  std::unique_lock<std::mutex> Lock() { return std::unique_lock(m_mutex); }

  // Under Lock(): whether handlers may still record results.
  bool IsOpen() const { return m_open; }
  // Ends recording; the results may then be read without the lock.
  void Close() {
    std::lock_guard lock(m_mutex);
    m_open = false;
  }

 private:
  const std::string m_name;
  details::Event m_done;
  std::mutex m_mutex;
  bool m_open = true;
  std::vector<int> m_subscriptions;
};

}  // namespace lumen::Nordic
