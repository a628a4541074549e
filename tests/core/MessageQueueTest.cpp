#include "core/MessageQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/error.hpp>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/CallbacksManager.h"
#include "core/CommonDataNotificationEvent.h"
#include "support/Guard.h"
#include "support/LogCapture.h"
#include "support/Threads.h"

namespace lumen::details {
namespace {

using testing::LogCapture;
using namespace std::chrono_literals;

using testing::kGuard;

template <class T>
bool Ready(std::future<T>& future) {
  return future.wait_for(kGuard) == std::future_status::ready;
}

// Thread-safe record of what ran.
class Trace {
 public:
  void Add(std::string what) {
    std::lock_guard lock(m_mutex);
    m_items.push_back(std::move(what));
  }
  std::vector<std::string> Items() const {
    std::lock_guard lock(m_mutex);
    return m_items;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_items;
};

TEST(MessageQueueTest, HandlersRunInPostOrderOnOneWorkerThread) {
  MessageQueue queue;
  Trace trace;
  std::vector<std::thread::id> threads(3);
  std::promise<void> done;
  queue.Post([&] {
    threads[0] = std::this_thread::get_id();
    trace.Add("A");
  });
  queue.Post([&] {
    threads[1] = std::this_thread::get_id();
    trace.Add("B");
  });
  queue.Post([&] {
    threads[2] = std::this_thread::get_id();
    EXPECT_TRUE(queue.IsWorkerThread());
    trace.Add("C");
    done.set_value();
  });
  auto future = done.get_future();
  ASSERT_TRUE(Ready(future));
  EXPECT_EQ(trace.Items(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_NE(threads[0], std::this_thread::get_id());
  EXPECT_EQ(threads[0], threads[1]);
  EXPECT_EQ(threads[1], threads[2]);
  EXPECT_FALSE(queue.IsWorkerThread());
}

TEST(MessageQueueTest, NotificationsPostedABArePublishedABOnTheWorker) {
  Trace trace;
  std::thread::id publisher;
  int id = 0;
  Subscribe<const CommonDataNotificationEvent_t*>(
      "common_evt_data_notification",
      [&](const CommonDataNotificationEvent_t* n) {
        publisher = std::this_thread::get_id();
        trace.Add(std::string(n->data.begin(), n->data.end()));
      },
      &id);

  MessageQueue queue;
  std::promise<void> done;
  for (const char* text : {"A", "B"}) {
    // As the backends do: the queued handler owns its copy of the value.
    auto copy =
        std::make_shared<CommonDataNotificationEvent_t>(CommonDataNotificationEvent_t{1, 0x0010, {text, text + 1}});
    queue.Post([copy] { Publish<const CommonDataNotificationEvent_t*>("common_evt_data_notification", copy.get()); });
  }
  queue.Post([&] { done.set_value(); });
  auto future = done.get_future();
  ASSERT_TRUE(Ready(future));
  EXPECT_TRUE(Unsubscribe(id));
  EXPECT_EQ(trace.Items(), (std::vector<std::string>{"A", "B"}));
  EXPECT_NE(publisher, std::this_thread::get_id());
}

TEST(MessageQueueTest, ThrowingHandlerDoesNotEndTheWorker) {
  const LogCapture capture;
  MessageQueue queue;
  Trace trace;
  std::promise<void> done;
  queue.Post([&] { trace.Add("A"); });
  queue.Post([] { throw std::runtime_error("handler failed"); });
  queue.Post([&] { trace.Add("B"); });
  queue.Post([] { throw 42; });
  queue.Post([&] {
    trace.Add("C");
    done.set_value();
  });
  auto future = done.get_future();
  ASSERT_TRUE(Ready(future));
  EXPECT_EQ(trace.Items(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_TRUE(capture.Has(Logger::ERROR, "Unhandled exception in message queue work thread: handler failed"));
  EXPECT_TRUE(capture.HasContaining(Logger::ERROR, "Unhandled exception in message queue work thread: "));
  size_t errors = 0;
  for (const auto& line : capture.Lines()) {
    errors += line.type == Logger::ERROR ? 1 : 0;
  }
  EXPECT_EQ(errors, 2u);
}

TEST(MessageQueueTest, ThrowingTimerHandlerDoesNotEndTheWorker) {
  const LogCapture capture;
  MessageQueue queue;
  std::promise<void> done;
  queue.ArmTimer(1ms, [](const boost::system::error_code&) { throw std::logic_error("tick failed"); });
  // The timer handler runs on the worker; a later post proves the worker lives.
  ASSERT_TRUE(capture.WaitFor(Logger::ERROR, "Unhandled exception in message queue work thread: tick failed"));
  queue.Post([&] { done.set_value(); });
  auto future = done.get_future();
  EXPECT_TRUE(Ready(future));
}

// Owns the last reference to a queue; the handler (and every copy of it) is
// destroyed on the worker after the call, which destroys the queue there.
struct LastOwnerHandler {
  struct SetOnDestroy {
    explicit SetOnDestroy(std::promise<std::thread::id>* promise) : destroyed(promise) {}
    std::promise<std::thread::id>* destroyed;
    ~SetOnDestroy() { destroyed->set_value(std::this_thread::get_id()); }
  };
  std::shared_ptr<SetOnDestroy> signal;  // declared first, so released after the queue below
  std::shared_ptr<MessageQueue> queue;
  void operator()() const {}
};

TEST(MessageQueueTest, QueueReleasedByItsOwnHandlerDoesNotDeadlock) {
  std::promise<std::thread::id> destroyed;
  auto future = destroyed.get_future();
  {
    auto queue = std::make_shared<MessageQueue>();
    MessageQueue* raw = queue.get();
    raw->Post(LastOwnerHandler{std::make_shared<LastOwnerHandler::SetOnDestroy>(&destroyed), std::move(queue)});
  }
  ASSERT_TRUE(Ready(future));
  EXPECT_NE(future.get(), std::this_thread::get_id());
}

TEST(MessageQueueTest, QueueResetInsideItsOwnHandlerDoesNotDeadlock) {
  std::promise<void> done;
  auto queue = std::make_shared<MessageQueue>();
  MessageQueue* raw = queue.get();
  raw->Post([owner = std::move(queue), &done]() mutable {
    owner.reset();  // the destructor runs here, on the worker
    done.set_value();
  });
  auto future = done.get_future();
  EXPECT_TRUE(Ready(future));
}

TEST(MessageQueueTest, ProcessQueueReleasedFromItsOwnWorkerDoesNotDeadlock) {
  SetMessageQueue(std::make_shared<MessageQueue>());
  std::promise<void> done;
  GetMessageQueue()->Post([&] {
    SetMessageQueue(nullptr);  // as UnInitialize called from a notification callback
    done.set_value();
  });
  auto future = done.get_future();
  ASSERT_TRUE(Ready(future));
  EXPECT_THROW(GetMessageQueue(), std::runtime_error);
}

TEST(MessageQueueTest, PostsAfterStopNeverRunAndAreReleased) {
  auto token = std::make_shared<int>(0);
  {
    MessageQueue queue;
    queue.Stop();
    queue.Post([token] { *token = 1; });
    queue.Stop();  // a second stop is harmless
  }
  EXPECT_EQ(*token, 0);
  EXPECT_EQ(token.use_count(), 1);
}

TEST(MessageQueueTest, BurstsFromSeveralThreadsRunInEachThreadsOrder) {
  MessageQueue queue;
  constexpr int kPerThread = 5000;
  std::vector<int> last(2, -1);
  std::atomic<bool> inOrder{true};
  std::atomic<int> ran{0};
  std::promise<void> done;
  std::vector<std::thread> posters;
  for (int t = 0; t < 2; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        queue.Post([&, t, i] {
          EXPECT_TRUE(queue.IsWorkerThread());
          inOrder = inOrder && last[static_cast<size_t>(t)] == i - 1;
          last[static_cast<size_t>(t)] = i;
          if (++ran == 2 * kPerThread) {
            done.set_value();
          }
        });
      }
    });
  }
  for (auto& poster : posters) {
    poster.join();
  }
  auto future = done.get_future();
  ASSERT_TRUE(Ready(future));
  EXPECT_TRUE(inOrder);
}

TEST(MessageQueueTest, PostsQueuedBehindAStopNeverRun) {
  auto queue = std::make_shared<MessageQueue>();
  std::promise<void> release;
  std::promise<void> stopped;
  std::atomic<bool> ranAfterStop{false};
  // The gate holds the worker while the next two are posted, so they are
  // waiting together when the first of them stops the queue.
  queue->Post([future = release.get_future().share()] { future.wait(); });
  queue->Post([&] {
    queue->Stop();
    stopped.set_value();
  });
  queue->Post([&] { ranAfterStop = true; });
  release.set_value();
  auto future = stopped.get_future();
  ASSERT_TRUE(Ready(future));
  queue.reset();
  EXPECT_FALSE(ranAfterStop);
}

TEST(MessageQueueTest, TimerFiresOnTheWorkerWithSuccess) {
  MessageQueue queue;
  std::promise<std::pair<boost::system::error_code, bool>> fired;
  queue.ArmTimer(5ms, [&](const boost::system::error_code& ec) { fired.set_value({ec, queue.IsWorkerThread()}); });
  auto future = fired.get_future();
  ASSERT_TRUE(Ready(future));
  const auto [ec, onWorker] = future.get();
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_TRUE(onWorker);
}

TEST(MessageQueueTest, ZeroSecondTimerFires) {
  MessageQueue queue;
  std::promise<boost::system::error_code> fired;
  queue.ArmTimerSeconds(0, [&](const boost::system::error_code& ec) { fired.set_value(ec); });
  auto future = fired.get_future();
  ASSERT_TRUE(Ready(future));
  EXPECT_FALSE(future.get());
}

TEST(MessageQueueTest, RearmingAbortsThePendingWait) {
  MessageQueue queue;
  std::promise<boost::system::error_code> first;
  std::promise<boost::system::error_code> second;
  queue.ArmTimerSeconds(3600, [&](const boost::system::error_code& ec) { first.set_value(ec); });
  queue.ArmTimer(5ms, [&](const boost::system::error_code& ec) { second.set_value(ec); });
  auto firstFuture = first.get_future();
  auto secondFuture = second.get_future();
  ASSERT_TRUE(Ready(firstFuture));
  ASSERT_TRUE(Ready(secondFuture));
  EXPECT_EQ(firstFuture.get(), boost::asio::error::operation_aborted);
  EXPECT_FALSE(secondFuture.get());
}

TEST(MessageQueueTest, CancelAbortsThePendingWait) {
  MessageQueue queue;
  std::promise<boost::system::error_code> fired;
  queue.ArmTimerSeconds(3600, [&](const boost::system::error_code& ec) { fired.set_value(ec); });
  queue.CancelTimer();
  auto future = fired.get_future();
  ASSERT_TRUE(Ready(future));
  EXPECT_EQ(future.get(), boost::asio::error::operation_aborted);
  queue.CancelTimer();  // nothing pending: harmless
}

TEST(MessageQueueTest, TimerHandlerCanRearmItselfLikeATick) {
  MessageQueue queue;
  std::promise<int> done;
  int ticks = 0;
  std::function<void(const boost::system::error_code&)> tick = [&](const boost::system::error_code& ec) {
    if (ec) {
      return;
    }
    if (++ticks == 3) {
      done.set_value(ticks);
      return;
    }
    queue.ArmTimer(1ms, tick);
  };
  queue.ArmTimer(1ms, tick);
  auto future = done.get_future();
  ASSERT_TRUE(Ready(future));
  EXPECT_EQ(future.get(), 3);
}

TEST(MessageQueueTest, ArmAndCancelFromManyThreadsIsSafe) {
  constexpr int kArms = 3 * 200;
  MessageQueue queue;
  // Only the worker touches these.
  int calls = 0;
  int aborted = 0;
  std::promise<void> allCalled;
  testing::OnThreads(3, [&](int) {
    for (int i = 0; i < kArms / 3; ++i) {
      queue.ArmTimerSeconds(3600, [&](const boost::system::error_code& ec) {
        aborted += ec == boost::asio::error::operation_aborted ? 1 : 0;
        if (++calls == kArms) {
          allCalled.set_value();
        }
      });
      if (i % 3 == 0) {
        queue.CancelTimer();
      }
    }
  });
  queue.CancelTimer();
  // Each arm either replaced or was cancelled: every handler is called once, aborted.
  auto called = allCalled.get_future();
  ASSERT_TRUE(Ready(called));
  std::promise<std::pair<int, int>> drained;
  queue.Post([&] { drained.set_value({calls, aborted}); });
  auto counts = drained.get_future();
  ASSERT_TRUE(Ready(counts));
  EXPECT_EQ(counts.get(), std::make_pair(kArms, kArms));
}

TEST(MessageQueueTest, PostingToTheProcessQueueWhileItIsReplacedIsSafe) {
  // Every handler handed to a queue is released exactly once, having run at
  // most once: run by its queue or dropped when that queue was replaced.
  struct Counts {
    std::atomic<int> ran{0};
    std::atomic<int> dropped{0};
  } counts;
  struct Probe {
    explicit Probe(Counts* owner) : counts(owner) {}
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    Counts* counts;
    bool ran = false;  // the last owner reads it after the run, ordered by the release
    ~Probe() {
      if (!ran) {
        ++counts->dropped;
      }
    }
  };
  std::atomic<bool> stop{false};
  int attempts = 0;
  std::thread poster([&] {
    while (!stop.load()) {
      auto probe = std::make_shared<Probe>(&counts);
      ++attempts;
      try {
        GetMessageQueue()->Post([probe] {
          probe->ran = true;
          ++probe->counts->ran;
        });
      } catch (const std::runtime_error&) {
        // not open at this moment
      }
    }
  });
  for (int i = 0; i < 50; ++i) {
    SetMessageQueue(i % 3 == 2 ? nullptr : std::make_shared<MessageQueue>());
  }
  stop = true;
  poster.join();
  SetMessageQueue(nullptr);  // joins the last worker and releases what it never ran
  EXPECT_EQ(counts.ran.load() + counts.dropped.load(), attempts);
}

TEST(MessageQueueTest, ProcessQueueHolder) {
  SetMessageQueue(nullptr);
  try {
    GetMessageQueue();
    FAIL() << "GetMessageQueue returned without a queue";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Bluetooth device is not open");
  }
  auto first = std::make_shared<MessageQueue>();
  std::weak_ptr<MessageQueue> weakFirst = first;
  SetMessageQueue(std::move(first));
  EXPECT_EQ(GetMessageQueue(), weakFirst.lock());
  SetMessageQueue(std::make_shared<MessageQueue>());
  EXPECT_TRUE(weakFirst.expired());
  SetMessageQueue(nullptr);
  EXPECT_THROW(GetMessageQueue(), std::runtime_error);
}

}  // namespace
}  // namespace lumen::details
