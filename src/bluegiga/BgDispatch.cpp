#include "bluegiga/BgDispatch.h"

#include <vector>

#include "bluegiga/BgMessageDef.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "lumen/Address.h"

namespace lumen::details {

namespace {

constexpr size_t kHeaderBytes = 4;
constexpr uint8_t kEventBit = 0x80;  // clear in a response

// Why a payload cannot hold the row's record, or null when it can: the fixed
// part and every array's bytes must lie inside what was received.
const char* CheckPayload(const BgMessageDef& row, const uint8_t* payload, size_t payloadLen) {
  if (payloadLen < row.recordSize) {
    return "payload shorter than its record";
  }
  size_t offset = 0;
  for (uint32_t codes = row.params; (codes & 0xF) != 0; codes >>= 4) {
    const auto code = static_cast<uint8_t>(codes & 0xF);
    const size_t width = BgParamWidth(code);
    if (offset + width > payloadLen) {
      return "payload shorter than its record";
    }
    size_t arrayLen = 0;
    if (code == kBgParamUint8Array || code == kBgParamString) {
      arrayLen = payload[offset];
    } else if (code == kBgParamUint16Array) {
      arrayLen = payload[offset] | (static_cast<size_t>(payload[offset + 1]) << 8);
    }
    offset += width;
    if (arrayLen > payloadLen - offset) {
      return "array length runs past the payload";
    }
    offset += arrayLen;
  }
  return nullptr;
}

void LogDroppedFrame(const char* name, const char* reason, const uint8_t* header, const uint8_t* payload,
                     size_t payloadLen) {
  if (!Logger::IsEnabled()) {
    return;
  }
  std::vector<uint8_t> headerBytes;
  if (header != nullptr) {
    headerBytes.assign(header, header + kHeaderBytes);
  }
  std::vector<uint8_t> payloadBytes;
  if (payload != nullptr) {
    payloadBytes.assign(payload, payload + payloadLen);
  }
  Log(kError, "lumen::details::BgDispatch dropped", name, "frame:", reason, "Header:", ToString(headerBytes),
      "Data:", ToString(payloadBytes));
}

}  // namespace

bool BgDispatch(const uint8_t* header, const uint8_t* payload, size_t payloadLen) {
  const BgMessageDef* row = BgFindHandler(header);
  if (row == nullptr) {
    Count(Health().framesMalformed);
    LogDroppedFrame("unknown", "no message has this header", header, payload, payload != nullptr ? payloadLen : 0);
    return false;
  }
  if (payload == nullptr) {
    payloadLen = 0;
  }
  if (const char* reason = CheckPayload(*row, payload, payloadLen)) {
    Count(Health().framesMalformed);
    LogDroppedFrame(row->name, reason, header, payload, payloadLen);
    return false;
  }
  if ((header[0] & kEventBit) == 0) {
    Count(Health().commandsAnswered);
  }
  row->handler(payload);
  return true;
}

}  // namespace lumen::details
