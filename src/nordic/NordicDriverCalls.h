#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "core/HealthCounters.h"
#include "core/Log.h"
#include "sd_rpc.h"

namespace lumen::Nordic {

// One driver call or one wait for a driver event at a time, process-wide.
// Taken after an adapter's own lock, never by the driver's threads.
std::mutex& DriverCallMutex();

// Counts a driver call that went to the board, and whether the board answered
// it. Other results of the driver's own (a send that failed, a transport
// error) mean the link is gone: a port loss, no silence of the board.
inline uint32_t CountCall(uint32_t result) {
  details::Count(details::Health().commandsSent);
  if (result == NRF_ERROR_SD_RPC_NO_RESPONSE) {
    details::CountNoResponse();
  } else if (result < NRF_ERROR_SD_RPC_BASE_NUM) {
    details::Count(details::Health().commandsAnswered);
  }
  return result;
}

// Runs one pc-ble-driver call under the driver-call lock, with its DEBUG
// "call <name>" line, and returns the driver's result unchanged.
template <class Call>
uint32_t DriverCall(const char* name, Call&& call) {
  std::lock_guard lock(DriverCallMutex());
  details::Log(details::kDebug, "call", name);
  return CountCall(call());
}

// The same for calls made from the driver's event thread: the lock is left
// alone there, because waiting operations hold it while they wait for that
// very thread.
template <class Call>
uint32_t EventThreadDriverCall(const char* name, Call&& call) {
  details::Log(details::kDebug, "call", name);
  return CountCall(call());
}

// The text of a driver result for log lines and errors.
std::string ErrorText(uint32_t code);

}  // namespace lumen::Nordic
