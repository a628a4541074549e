#include "PeriodicTimer.h"

#include <boost/asio/post.hpp>

#include <stdexcept>
#include <utility>

namespace lumenTestApp {

PeriodicTimer::PeriodicTimer()
    : m_work(boost::asio::make_work_guard(m_io)), m_timer(m_io), m_thread([this] { m_io.run(); }) {}

PeriodicTimer::~PeriodicTimer() {
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
    Stop();
  }
}

void PeriodicTimer::Start(unsigned seconds, std::function<void()> handler) {
  std::lock_guard lock(m_mutex);
  m_timer.expires_from_now(boost::posix_time::seconds(seconds));
  m_timer.async_wait([handler = std::move(handler)](const boost::system::error_code& error) {
    if (error) {
      return;  // cancelled or replaced
    }
    try {
      handler();
    } catch (...) {
      // The handler reports its own failures; the timer thread must survive them.
    }
  });
}

void PeriodicTimer::Cancel() {
  std::lock_guard lock(m_mutex);
  m_timer.cancel();
}

void PeriodicTimer::Stop() {
  if (!m_thread.joinable()) {
    return;
  }
  if (m_thread.get_id() == std::this_thread::get_id()) {
    throw std::logic_error("PeriodicTimer::Stop called from its own handler");
  }
  Cancel();
  m_work.reset();
  m_io.stop();
  m_thread.join();
}

}  // namespace lumenTestApp
