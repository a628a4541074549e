#include "lumen/Capture.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>

#include "core/CaptureTap.h"
#include "core/Log.h"
#include "lumen/Errors.h"

namespace lumen {
namespace details {
namespace {

struct CaptureState {
  std::mutex mutex;
  std::unique_ptr<CaptureFile> file;
  std::string portName;
  uint64_t lastTimeUs = 0;
};

// Never destroyed: library threads may still record while the process exits.
CaptureState& State() {
  static CaptureState* const state = new CaptureState();
  return *state;
}

uint64_t NowUs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

// Under the state's lock. Returns the error text when the write failed and
// ended the capture.
std::string WriteLocked(CaptureState& state, uint8_t kind, uint8_t direction, const CapturePiece* pieces,
                        size_t count) {
  if (!state.file) {
    return {};
  }
  // Taken under the lock, and never behind the last record's: file order is
  // time order even when the clock steps back.
  state.lastTimeUs = std::max(state.lastTimeUs, NowUs());
  std::string error;
  if (!state.file->Write(state.lastTimeUs, direction, kind, pieces, count, error)) {
    state.file.reset();
    g_capturing.store(false, std::memory_order_relaxed);
    return error.empty() ? std::string("capture file write failed") : error;
  }
  return {};
}

void ReportWriteFailure(const std::string& error) {
  if (!error.empty()) {
    Log(kError, "Capture ended:", error);
  }
}

}  // namespace

void CaptureWrite(uint8_t kind, uint8_t direction, std::initializer_list<CapturePiece> pieces) {
  if (!Capturing()) {
    return;
  }
  CaptureState& state = State();
  std::string error;
  {
    std::lock_guard lock(state.mutex);
    error = WriteLocked(state, kind, direction, pieces.begin(), pieces.size());
  }
  ReportWriteFailure(error);
}

void CaptureNote(const std::string& text) { CaptureBytes(kCaptureNote, kCaptureNoDirection, text.data(), text.size()); }

void CapturePortOpened(const std::string& port) {
  CaptureState& state = State();
  std::string error;
  {
    std::lock_guard lock(state.mutex);
    state.portName = port;
    if (state.file) {
      state.file->SetInterfaceName(port);
      const CapturePiece piece{port.data(), port.size()};
      error = WriteLocked(state, kCapturePortOpened, kCaptureNoDirection, &piece, 1);
    }
  }
  ReportWriteFailure(error);
}

void CapturePortClosed(bool lost, const std::string& error) {
  CaptureState& state = State();
  std::string failure;
  {
    std::lock_guard lock(state.mutex);
    state.portName.clear();
    const uint8_t how = lost ? 1 : 0;
    const CapturePiece pieces[] = {{&how, 1}, {error.data(), error.size()}};
    failure = WriteLocked(state, kCapturePortClosed, kCaptureNoDirection, pieces, 2);
  }
  ReportWriteFailure(failure);
}

void CaptureNrfCall(const char* name, uint32_t result, const std::string& arguments) {
  if (!Capturing()) {
    return;
  }
  const uint8_t resultBytes[4] = {static_cast<uint8_t>(result), static_cast<uint8_t>(result >> 8),
                                  static_cast<uint8_t>(result >> 16), static_cast<uint8_t>(result >> 24)};
  const auto nameLength = static_cast<uint8_t>(std::min<size_t>(std::strlen(name), 0xFF));
  CaptureWrite(kCaptureNrfCall, kCaptureOutbound,
               {{resultBytes, 4}, {&nameLength, 1}, {name, nameLength}, {arguments.data(), arguments.size()}});
}

void CaptureNrfEvent(uint16_t id, const char* name, const void* event, size_t size, const void* extra,
                     size_t extraSize) {
  if (!Capturing()) {
    return;
  }
  const uint8_t idBytes[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
  const auto nameLength = static_cast<uint8_t>(std::min<size_t>(std::strlen(name), 0xFF));
  CaptureWrite(kCaptureNrfEvent, kCaptureInbound,
               {{idBytes, 2}, {&nameLength, 1}, {name, nameLength}, {event, size}, {extra, extraSize}});
}

void CaptureNrfStatus(uint32_t code, const char* message) {
  if (!Capturing()) {
    return;
  }
  const uint8_t codeBytes[4] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                                static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)};
  const char* text = message != nullptr ? message : "";
  CaptureWrite(kCaptureNrfStatus, kCaptureInbound, {{codeBytes, 4}, {text, std::strlen(text)}});
}

}  // namespace details

void StartCapture(const std::string& path, uint64_t maxFileBytes, uint32_t keepFiles) {
  details::CaptureState& state = details::State();
  std::unique_ptr<details::CaptureFile> old;
  std::string failure;
  {
    std::lock_guard lock(state.mutex);
    details::g_capturing.store(false, std::memory_order_relaxed);
    old = std::move(state.file);
    try {
      state.file = std::make_unique<details::CaptureFile>(path, maxFileBytes, keepFiles, state.portName);
      details::g_capturing.store(true, std::memory_order_relaxed);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  old.reset();
  if (!failure.empty()) {
    details::Log(details::kError, "StartCapture:", failure);
    throw details::KesBluetoothSDKLibError(failure, details::kErrorGeneral);
  }
  details::Log(details::kInfo, "Capture started:", path);
}

void StopCapture() {
  details::CaptureState& state = details::State();
  std::unique_ptr<details::CaptureFile> old;
  {
    std::lock_guard lock(state.mutex);
    details::g_capturing.store(false, std::memory_order_relaxed);
    old = std::move(state.file);
  }
  if (old) {
    old.reset();
    details::Log(details::kInfo, "Capture stopped");
  }
}

}  // namespace lumen
