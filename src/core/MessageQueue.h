#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/core/noncopyable.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace lumen::details {

// One worker thread running posted handlers one at a time, in post order,
// plus one timer whose handler also runs on that thread.
class MessageQueue : private boost::noncopyable {
 public:
  using Handler = std::function<void()>;
  using TimerHandler = std::function<void(const boost::system::error_code&)>;

  // reportsDepth: the queue's depth feeds the health figures' high-water
  // mark (the process-wide queue's; a scanner's own queue stays out).
  explicit MessageQueue(bool reportsDepth = false);
  ~MessageQueue();

  void Post(Handler handler);

  // Calls handler after `seconds`; re-arming cancels the pending wait, whose
  // handler then sees operation_aborted.
  void ArmTimer(std::chrono::steady_clock::duration delay, TimerHandler handler);
  void ArmTimerSeconds(int seconds, TimerHandler handler) {
    ArmTimer(std::chrono::seconds(seconds), std::move(handler));
  }
  void CancelTimer();

  // Stops the loop and joins the worker; later posts are dropped.
  void Stop();

  bool IsWorkerThread() const { return std::this_thread::get_id() == m_workerId; }

 private:
  // Shared with the worker thread, so a queue released from its own worker
  // can detach instead of joining itself and the loop still outlives run().
  struct Loop {
    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
    boost::asio::steady_timer timer{context};
    // io_context::stop() alone lets Windows' completion port run what was
    // already queued behind the stop; this flag drops it everywhere.
    std::atomic<bool> stopped{false};
    const bool reportsDepth;
    std::atomic<uint64_t> depth{0};
    explicit Loop(bool reports) : reportsDepth(reports) {}
  };

  static void Run(const std::shared_ptr<Loop>& loop);

  std::shared_ptr<Loop> m_loop;
  std::mutex m_timerMutex;
  std::thread m_worker;
  std::thread::id m_workerId;
};

// The process-wide queue that Initialize creates; notifications are published from it.
std::shared_ptr<MessageQueue> GetMessageQueue();
void SetMessageQueue(std::shared_ptr<MessageQueue> queue);

}  // namespace lumen::details
