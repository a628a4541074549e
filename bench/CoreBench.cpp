#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>

#include "core/CallbacksManager.h"
#include "core/MessageQueue.h"

namespace lumen::details {
namespace {

// One radio event delivered to one waiting command: the hot path of every
// BGAPI response. Logging is off, as in a quiet application.
void BM_EventBusPublishToOneSubscriber(benchmark::State& state) {
  CallbacksManager bus;
  unsigned int received = 0;
  int id = 0;
  bus.Subscribe<unsigned int>(
      "common_evt_disconnect", [&](unsigned int native) { received += native; }, &id);
  for (auto _ : state) {
    bus.Publish<unsigned int>("common_evt_disconnect", 1u);
  }
  benchmark::DoNotOptimize(received);
  bus.Unsubscribe(id);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventBusPublishToOneSubscriber);

// A notification handed from the radio's thread to the queue's worker and
// run there: post, then wait until the handler has run.
void BM_MessageQueuePostToRunRoundTrip(benchmark::State& state) {
  MessageQueue queue;
  std::mutex mutex;
  std::condition_variable ran;
  uint64_t completed = 0;
  for (auto _ : state) {
    const uint64_t target = completed + 1;
    queue.Post([&] {
      {
        std::lock_guard lock(mutex);
        ++completed;
      }
      ran.notify_one();
    });
    std::unique_lock lock(mutex);
    ran.wait(lock, [&] { return completed == target; });
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MessageQueuePostToRunRoundTrip)->UseRealTime();

}  // namespace
}  // namespace lumen::details
