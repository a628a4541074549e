#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "core/CaptureFile.h"

namespace lumen::details {

// Record kinds and directions of a capture (docs/capture.md).
enum CaptureKind : uint8_t {
  kCaptureBgapiToRadio = 0x01,
  kCaptureBgapiFromRadio = 0x02,
  kCaptureGarbage = 0x03,
  kCapturePortOpened = 0x04,
  kCapturePortClosed = 0x05,
  kCaptureNote = 0x06,
  kCaptureNrfCall = 0x10,
  kCaptureNrfEvent = 0x11,
  kCaptureNrfStatus = 0x12,
};
enum CaptureDirection : uint8_t { kCaptureNoDirection = 0, kCaptureInbound = 1, kCaptureOutbound = 2 };

// On while a capture runs. Each tap looks at it first, relaxed: with no
// capture that load is all a tap costs.
inline std::atomic<bool> g_capturing{false};
inline bool Capturing() { return g_capturing.load(std::memory_order_relaxed); }

// Writes one record if a capture runs. Safe from any thread; the record is
// in the file when this returns.
void CaptureWrite(uint8_t kind, uint8_t direction, std::initializer_list<CapturePiece> pieces);
inline void CaptureBytes(uint8_t kind, uint8_t direction, const void* data, size_t size) {
  CaptureWrite(kind, direction, {CapturePiece{data, size}});
}
void CaptureNote(const std::string& text);

// The port a radio was opened on, remembered with or without a capture (a
// capture started later names it), until it closes.
void CapturePortOpened(const std::string& port);
void CapturePortClosed(bool lost, const std::string& error);

void CaptureNrfCall(const char* name, uint32_t result, const std::string& arguments);
// `extra`: bytes the event points to, written after it.
void CaptureNrfEvent(uint16_t id, const char* name, const void* event, size_t size, const void* extra = nullptr,
                     size_t extraSize = 0);
void CaptureNrfStatus(uint32_t code, const char* message);

}  // namespace lumen::details
