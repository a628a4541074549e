#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/Bytes.h"

namespace lumen::sim {

// One record of a lumen capture (docs/capture.md).
struct CaptureRecord {
  enum Kind : uint8_t {
    kBgapiToRadio = 0x01,
    kBgapiFromRadio = 0x02,
    kGarbage = 0x03,
    kPortOpened = 0x04,
    kPortClosed = 0x05,
    kNote = 0x06,
    kNrfCall = 0x10,
    kNrfEvent = 0x11,
    kNrfStatus = 0x12,
  };
  enum Direction : uint8_t { kNoDirection = 0, kInbound = 1, kOutbound = 2 };

  uint64_t timeUs = 0;  // since 1970-01-01 UTC
  Direction direction = kNoDirection;
  uint8_t kind = 0;
  Bytes body;  // the record after its kind byte

  // The text of a port opened, port closed or note record ("" for other kinds).
  std::string Text() const;
};

struct Capture {
  std::string interfaceName;  // of the first interface
  std::vector<CaptureRecord> records;
};

class CaptureFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a pcapng file, or several rotated files concatenated. Throws
// CaptureFormatError naming the offset of the first block it cannot read.
Capture ParseCapture(const Bytes& file);
Capture ReadCaptureFile(const std::string& path);

// A capture in the library's layout, for tests that need one of their own.
Bytes SerializeCapture(const Capture& capture);

}  // namespace lumen::sim
