#include "core/HealthCounters.h"

#include <chrono>
#include <mutex>

#include "lumen/RadioHealth.h"

namespace lumen::details {
namespace {

using Clock = std::chrono::steady_clock;

HealthCounters g_counters;

// When the advertisement count was last seen to move. The advertisement path
// only increments; whoever looks (a snapshot, the scanner's tick) stamps the
// time at which it found the count changed.
struct LastAdvert {
  std::mutex mutex;
  uint64_t countSeen = 0;
  bool any = false;
  Clock::time_point at;
};

LastAdvert& TheLastAdvert() {
  static LastAdvert* const last = new LastAdvert();  // never destroyed: used from any thread at exit
  return *last;
}

// Stamps now if the count moved; returns the stamp, or nothing when no
// advertisement has come yet.
bool LastAdvertTime(Clock::time_point* at) {
  const uint64_t count = g_counters.advertsReceived.load(std::memory_order_relaxed);
  LastAdvert& last = TheLastAdvert();
  std::lock_guard lock(last.mutex);
  if (count != last.countSeen) {
    last.countSeen = count;
    last.any = count != 0;
    last.at = Clock::now();
  }
  *at = last.at;
  return last.any;
}

uint64_t Load(const std::atomic<uint64_t>& counter) { return counter.load(std::memory_order_relaxed); }

}  // namespace

HealthCounters& Health() { return g_counters; }

void NoteQueueDepth(uint64_t depth) {
  uint64_t high = g_counters.messageQueueHighWater.load(std::memory_order_relaxed);
  while (depth > high &&
         !g_counters.messageQueueHighWater.compare_exchange_weak(high, depth, std::memory_order_relaxed)) {
  }
}

void NoteAdvertsSeen() {
  Clock::time_point at;
  (void)LastAdvertTime(&at);
}

void ResetHealth() {
  HealthCounters& c = g_counters;
  for (auto* counter : {&c.advertsReceived,
                        &c.advertsDropped,
                        &c.garbageBytes,
                        &c.framesMalformed,
                        &c.commandsSent,
                        &c.commandsAnswered,
                        &c.commandsNoResponse,
                        &c.commandsNoCompletingEvent,
                        &c.hardwareFailures,
                        &c.resetsRadioError,
                        &c.resetsWatchdog,
                        &c.resetsApplication,
                        &c.portLosses,
                        &c.timeAwayMs,
                        &c.connectionsMade,
                        &c.connectionsFailed,
                        &c.connectionsDroppedByPeer,
                        &c.gattOk,
                        &c.gattFailed,
                        &c.notificationsDelivered,
                        &c.messageQueueHighWater}) {
    counter->store(0, std::memory_order_relaxed);
  }
  LastAdvert& last = TheLastAdvert();
  std::lock_guard lock(last.mutex);
  last.countSeen = 0;
  last.any = false;
}

}  // namespace lumen::details

namespace lumen {

RadioHealth GetRadioHealth() {
  using details::Load;
  const details::HealthCounters& c = details::Health();
  RadioHealth health;
  health.advertsReceived = Load(c.advertsReceived);
  health.advertsDropped = Load(c.advertsDropped);
  std::chrono::steady_clock::time_point last;
  if (details::LastAdvertTime(&last)) {
    const auto since = std::chrono::steady_clock::now() - last;
    health.secondsSinceLastAdvert =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
  }
  health.garbageBytes = Load(c.garbageBytes);
  health.framesMalformed = Load(c.framesMalformed);
  health.commandsSent = Load(c.commandsSent);
  health.commandsAnswered = Load(c.commandsAnswered);
  health.commandsNoResponse = Load(c.commandsNoResponse);
  health.commandsNoCompletingEvent = Load(c.commandsNoCompletingEvent);
  health.commandsTimedOut = health.commandsNoResponse + health.commandsNoCompletingEvent;
  health.hardwareFailures = Load(c.hardwareFailures);
  health.resetsRadioError = Load(c.resetsRadioError);
  health.resetsWatchdog = Load(c.resetsWatchdog);
  health.resetsApplication = Load(c.resetsApplication);
  health.portLosses = Load(c.portLosses);
  health.timeAwayMs = Load(c.timeAwayMs);
  health.connectionsMade = Load(c.connectionsMade);
  health.connectionsFailed = Load(c.connectionsFailed);
  health.connectionsDroppedByPeer = Load(c.connectionsDroppedByPeer);
  health.gattOk = Load(c.gattOk);
  health.gattFailed = Load(c.gattFailed);
  health.notificationsDelivered = Load(c.notificationsDelivered);
  health.messageQueueHighWater = Load(c.messageQueueHighWater);
  return health;
}

}  // namespace lumen
