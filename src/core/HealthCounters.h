#pragma once

#include <atomic>
#include <boost/core/noncopyable.hpp>
#include <cstdint>
#include <exception>

namespace lumen::details {

// Counters behind lumen::GetRadioHealth. Each is bumped where the thing it
// counts already happens; relaxed order is enough, a snapshot is no
// transaction.
struct HealthCounters {
  using Counter = std::atomic<uint64_t>;
  Counter advertsReceived{0};
  Counter advertsDropped{0};
  Counter garbageBytes{0};
  Counter framesMalformed{0};
  Counter commandsSent{0};
  Counter commandsAnswered{0};
  Counter commandsNoResponse{0};
  Counter commandsNoCompletingEvent{0};
  Counter hardwareFailures{0};
  Counter resetsRadioError{0};
  Counter resetsWatchdog{0};
  Counter resetsApplication{0};
  Counter portLosses{0};
  Counter timeAwayMs{0};
  Counter connectionsMade{0};
  Counter connectionsFailed{0};
  Counter connectionsDroppedByPeer{0};
  Counter gattOk{0};
  Counter gattFailed{0};
  Counter notificationsDelivered{0};
  Counter messageQueueHighWater{0};
};

HealthCounters& Health();

inline void Count(std::atomic<uint64_t>& counter, uint64_t amount = 1) {
  counter.fetch_add(amount, std::memory_order_relaxed);
}

// A command whose wait ran out: the radio sent no response, or no event
// completed what it had accepted.
inline void CountNoResponse() { Count(Health().commandsNoResponse); }
inline void CountNoCompletingEvent() { Count(Health().commandsNoCompletingEvent); }

// Counts one GATT operation as ok, or as failed when it ends by an exception.
class GattOutcomeCount : private boost::noncopyable {
 public:
  GattOutcomeCount() = default;
  ~GattOutcomeCount() { Count(std::uncaught_exceptions() > m_exceptions ? Health().gattFailed : Health().gattOk); }

 private:
  const int m_exceptions = std::uncaught_exceptions();
};

// Raises the message-queue high-water mark to `depth` if it is higher.
void NoteQueueDepth(uint64_t depth);

// Notes that advertisements have arrived since the last look, so that the
// time of the last one is known without a clock read per advertisement.
void NoteAdvertsSeen();

// Initialize starts the figures afresh.
void ResetHealth();

}  // namespace lumen::details
