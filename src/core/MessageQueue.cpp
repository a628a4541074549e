#include "core/MessageQueue.h"

#include <stdexcept>

#include "core/Log.h"

namespace lumen::details {

MessageQueue::MessageQueue() : m_loop(std::make_shared<Loop>()) {
  m_worker = std::thread([loop = m_loop] { Run(loop); });
  m_workerId = m_worker.get_id();
}

MessageQueue::~MessageQueue() { Stop(); }

void MessageQueue::Run(const std::shared_ptr<Loop>& loop) {
  // A failing handler must not end the worker: that would silently stop every
  // later notification and tick. Log it and keep serving the queue in order.
  for (;;) {
    try {
      loop->context.run();
      return;
    } catch (const std::exception& e) {
      Log(kError, std::string("Unhandled exception in message queue work thread: ") + e.what());
    } catch (...) {
      Log(kError, "Unhandled exception in message queue work thread: unknown exception");
    }
  }
}

void MessageQueue::Post(Handler handler) { boost::asio::post(m_loop->context, std::move(handler)); }

void MessageQueue::ArmTimer(std::chrono::steady_clock::duration delay, TimerHandler handler) {
  std::lock_guard lock(m_timerMutex);
  m_loop->timer.expires_after(delay);
  m_loop->timer.async_wait(std::move(handler));
}

void MessageQueue::CancelTimer() {
  std::lock_guard lock(m_timerMutex);
  m_loop->timer.cancel();
}

void MessageQueue::Stop() {
  m_loop->work.reset();
  m_loop->context.stop();
  if (!m_worker.joinable()) {
    return;
  }
  if (IsWorkerThread()) {
    // Released from one of its own handlers: joining would deadlock. The
    // worker owns the loop too and ends as soon as that handler returns.
    m_worker.detach();
    return;
  }
  m_worker.join();
}

namespace {
std::mutex g_queueMutex;
std::shared_ptr<MessageQueue> g_queue;
}  // namespace

std::shared_ptr<MessageQueue> GetMessageQueue() {
  std::lock_guard lock(g_queueMutex);
  if (!g_queue) {
    throw std::runtime_error("Bluetooth device is not open");
  }
  return g_queue;
}

void SetMessageQueue(std::shared_ptr<MessageQueue> queue) {
  std::shared_ptr<MessageQueue> previous;
  {
    std::lock_guard lock(g_queueMutex);
    previous = std::exchange(g_queue, std::move(queue));
  }
  // previous is destroyed here, outside the lock: its destructor joins the worker.
}

}  // namespace lumen::details
