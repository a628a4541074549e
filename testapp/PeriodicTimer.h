#pragma once

#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <functional>
#include <mutex>
#include <thread>

namespace lumenTestApp {

// One deadline timer with an I/O thread of its own. Start arms it to call a
// handler once; a periodic user re-arms it from the handler. The handler runs
// on the timer's thread, one call at a time.
class PeriodicTimer {
 public:
  PeriodicTimer();
  // Stops and joins, unless Stop already did.
  ~PeriodicTimer();
  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;

  // Calls the handler once, `seconds` from now; replaces an armed call.
  // Whatever the handler throws is dropped, so the thread lives on.
  void Start(unsigned seconds, std::function<void()> handler);
  // Drops an armed call that has not started.
  void Cancel();
  // Waits for a running handler, then ends the thread. Throws
  // std::logic_error when called from the handler itself.
  void Stop();

 private:
  boost::asio::io_context m_io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_work;
  std::mutex m_mutex;  // the timer object is not safe for concurrent use
  boost::asio::deadline_timer m_timer;
  std::thread m_thread;
};

}  // namespace lumenTestApp
