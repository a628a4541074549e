#include "core/MessageQueue.h"

#include <stdexcept>

#include "core/HealthCounters.h"
#include "core/Log.h"
#include "core/ProcessWideHolder.h"

namespace lumen::details {

MessageQueue::MessageQueue(bool reportsDepth) : m_loop(std::make_shared<Loop>(reportsDepth)) {
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

void MessageQueue::Post(Handler handler) {
  if (!m_loop->reportsDepth) {
    boost::asio::post(m_loop->context, [loop = m_loop.get(), handler = std::move(handler)] {
      if (!loop->stopped.load(std::memory_order_acquire)) {
        handler();
      }
    });
    return;
  }
  NoteQueueDepth(m_loop->depth.fetch_add(1, std::memory_order_relaxed) + 1);
  boost::asio::post(m_loop->context, [loop = m_loop.get(), handler = std::move(handler)] {
    loop->depth.fetch_sub(1, std::memory_order_relaxed);
    if (!loop->stopped.load(std::memory_order_acquire)) {
      handler();
    }
  });
}

void MessageQueue::ArmTimer(std::chrono::steady_clock::duration delay, TimerHandler handler) {
  std::lock_guard lock(m_timerMutex);
  m_loop->timer.expires_after(delay);
  m_loop->timer.async_wait([loop = m_loop.get(), handler = std::move(handler)](const boost::system::error_code& error) {
    if (!loop->stopped.load(std::memory_order_acquire)) {
      handler(error);
    }
  });
}

void MessageQueue::CancelTimer() {
  std::lock_guard lock(m_timerMutex);
  m_loop->timer.cancel();
}

void MessageQueue::Stop() {
  m_loop->stopped.store(true, std::memory_order_release);
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

using QueueHolder = ProcessWideHolder<MessageQueue>;

QueueHolder& Holder() { return QueueHolder::Get(); }

}  // namespace

std::shared_ptr<MessageQueue> GetMessageQueue() {
  QueueHolder& holder = Holder();
  std::lock_guard lock(holder.mutex);
  if (!holder.held) {
    throw std::runtime_error("Bluetooth device is not open");
  }
  return holder.held;
}

void SetMessageQueue(std::shared_ptr<MessageQueue> queue) {
  QueueHolder& holder = Holder();
  std::shared_ptr<MessageQueue> previous;
  {
    std::lock_guard lock(holder.mutex);
    previous = std::exchange(holder.held, std::move(queue));
  }
  // Stopped here, outside the lock and on this thread: a radio thread that
  // still holds a copy (a bus handler posting a read's end) must never be the
  // one to join the worker, which may be waiting for the bus that thread holds.
  if (previous) {
    previous->Stop();
  }
}

}  // namespace lumen::details
