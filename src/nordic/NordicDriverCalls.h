#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "core/CaptureTap.h"
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

// A call's arguments for a capture, as `name=value, ...`; `describe` runs
// only while a capture runs.
template <class Describe>
void CaptureCall(const char* name, uint32_t result, Describe&& describe) {
  if (details::Capturing()) {
    details::CaptureNrfCall(name, result, describe());
  }
}

inline std::string NoArguments() { return {}; }

// For a running capture: an accepted call whose completing event never came.
inline void NoteNoCompletingEvent(const char* name, uint32_t waitMs) {
  if (details::Capturing()) {
    details::CaptureNote("no completing event for " + std::string(name) + " within " + std::to_string(waitMs) + " ms");
  }
}

// Builds `name=value, ...` texts for CaptureCall.
class CallArguments {
 public:
  CallArguments& Add(const char* name, const std::string& value);
  CallArguments& Add(const char* name, uint64_t value);
  CallArguments& AddHex(const char* name, uint64_t value);
  CallArguments& AddBytes(const char* name, const uint8_t* bytes, size_t count);
  std::string Text() const { return m_text; }

 private:
  std::string m_text;
};

// Runs one pc-ble-driver call under the driver-call lock, with its DEBUG
// "call <name>" line, and returns the driver's result unchanged.
template <class Call, class Describe = std::string (*)()>
uint32_t DriverCall(const char* name, Call&& call, Describe&& describe = NoArguments) {
  std::lock_guard lock(DriverCallMutex());
  details::Log(details::kDebug, "call", name);
  const uint32_t result = CountCall(call());
  CaptureCall(name, result, describe);
  return result;
}

// The same for calls made from the driver's event thread: the lock is left
// alone there, because waiting operations hold it while they wait for that
// very thread.
template <class Call, class Describe = std::string (*)()>
uint32_t EventThreadDriverCall(const char* name, Call&& call, Describe&& describe = NoArguments) {
  details::Log(details::kDebug, "call", name);
  const uint32_t result = CountCall(call());
  CaptureCall(name, result, describe);
  return result;
}

// Arguments of the calls made in several places.
std::string ScanArguments(const ble_gap_scan_params_t* params);
std::string AddressText(const ble_gap_addr_t& address);

// The name of a SoftDevice event id (`BLE_GAP_EVT_ADV_REPORT`), "" for an
// id the table does not know.
const char* EventName(uint16_t id);

// The text of a driver result for log lines and errors.
std::string ErrorText(uint32_t code);

}  // namespace lumen::Nordic
