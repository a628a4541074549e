// The process-wide queue released while a radio thread, inside a bus
// handler, still holds a copy of it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>

#include "core/CallbacksManager.h"
#include "core/Event.h"
#include "core/MessageQueue.h"

namespace lumen::details {
namespace {

constexpr auto kGuard = std::chrono::seconds(20);

bool QueueHolderIsEmpty() {
  try {
    GetMessageQueue();
    return false;
  } catch (const std::runtime_error&) {
    return true;
  }
}

TEST(QueueReleaseTest, LastCopyDroppedInsideABusHandlerNeverJoinsTheWorkerThere) {
  // As a long read's end does: a bus handler posts to the queue while the
  // worker is itself waiting for the bus, and UnInitialize empties the
  // holder meanwhile. If the handler's copy were the last one, the worker
  // would be joined under the bus it waits for.
  SetMessageQueue(std::make_shared<MessageQueue>());
  Event inHandler;
  inHandler.SetIgnoreGlobalReset();
  int subscription = 0;
  Subscribe<int>(
      "test_evt_queue_release",
      [&inHandler](int round) {
        if (round != 1) {
          return;
        }
        std::shared_ptr<MessageQueue> queue = GetMessageQueue();
        queue->Post([] { Publish<int>("test_evt_queue_release", 2); });  // waits for this bus
        inHandler.Set();
        while (!QueueHolderIsEmpty()) {
          std::this_thread::yield();
        }
        queue.reset();
      },
      &subscription);

  auto reader = std::async(std::launch::async, [] { Publish<int>("test_evt_queue_release", 1); });
  ASSERT_TRUE(inHandler.WaitFor(20000));
  auto release = std::async(std::launch::async, [] { SetMessageQueue(nullptr); });
  const bool finished =
      reader.wait_for(kGuard) == std::future_status::ready && release.wait_for(kGuard) == std::future_status::ready;
  if (!finished) {
    ADD_FAILURE() << "deadlock: the queue's worker was joined under the bus mutex";
    std::_Exit(1);  // the deadlocked threads can never be joined
  }
  Unsubscribe(subscription);
}

}  // namespace
}  // namespace lumen::details
