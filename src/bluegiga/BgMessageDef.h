#pragma once

#include <cstddef>
#include <cstdint>

namespace lumen::details {

// Parameter layout codes, one per 4-bit nibble of BgMessageDef::params.
enum BgParamType : uint8_t {
  kBgParamEnd = 0,
  kBgParamUint8 = 2,
  kBgParamInt8 = 3,
  kBgParamUint16 = 4,
  kBgParamInt16 = 5,
  kBgParamUint32 = 6,
  kBgParamInt32 = 7,
  kBgParamUint8Array = 8,  // 1-byte length, then the bytes
  kBgParamString = 9,      // as kBgParamUint8Array
  kBgParamBdAddr = 10,
  kBgParamUint16Array = 11,  // 2-byte length, then the bytes
};

constexpr int kBgMaxParams = 8;  // nibbles in BgMessageDef::params
constexpr int kBgClassCount = 10;

enum class BgMessageKind : uint8_t { kCommand, kResponse, kEvent };

// One row of the message table.
struct BgMessageDef {
  // Byte 0: 0x00 command/response, 0x80 event; byte 1: fixed payload length;
  // byte 2: class id; byte 3: message id.
  uint8_t header[4];
  uint32_t params;  // BgParamType codes, first parameter in the lowest nibble
  void (*handler)(const void* payload);
  const char* name;  // BGLib name, e.g. "ble_evt_gap_scan_response"
  BgMessageKind kind;
  // sizeof the record read in place for this row (0 without parameters); an
  // array counts its length field only.
  uint8_t recordSize;
};

// The rows of one class of responses or of events, indexed by message id.
struct BgClassIndex {
  const BgMessageDef* rows;
  uint8_t count;
};

// Width in the fixed part of a parameter code; 0 for codes the encoder skips.
constexpr size_t BgParamWidth(uint8_t code) {
  switch (code) {
    case kBgParamUint8:
    case kBgParamInt8:
    case kBgParamUint8Array:
    case kBgParamString:
      return 1;
    case kBgParamUint16:
    case kBgParamInt16:
    case kBgParamUint16Array:
      return 2;
    case kBgParamUint32:
    case kBgParamInt32:
      return 4;
    case kBgParamBdAddr:
      return 6;
    default:
      return 0;
  }
}

// The row of a received response or event (bit 7 of byte 0 set) by class and
// message id; null when no such message is defined. Length and technology
// bits are not looked at.
const BgMessageDef* BgFindHandler(const uint8_t* header);

}  // namespace lumen::details
