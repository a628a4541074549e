#include "bluegiga/BgSend.h"

#include <cstring>

#include "bluegiga/BgMessages.h"
#include "core/Log.h"

namespace lumen::details {

std::atomic<BgOutputFunction> BgOutputHook{nullptr};

namespace {

constexpr size_t kHeaderBytes = 4;
constexpr size_t kMaxPayloadBytes = 0x7FF;  // 11 length bits in the header

void AppendLittleEndian(uint8_t* out, uint32_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) {
    out[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

}  // namespace

bool BgEncodeMessage(const BgMessageDef& row, const BgArg* args, size_t argCount, BgOutputFunction output) {
  // Header plus the largest fixed part a row can declare.
  uint8_t packet[kHeaderBytes + 255];
  std::memcpy(packet, row.header, kHeaderBytes);
  const size_t fixedLen = row.header[1];

  size_t offset = kHeaderBytes;
  size_t next = 0;
  uint16_t tailLen = 0;
  const uint8_t* tail = nullptr;
  const auto take = [&](BgArg& arg) {
    if (next >= argCount) {
      return false;
    }
    arg = args[next++];
    return true;
  };

  for (uint32_t codes = row.params; (codes & 0xF) != 0; codes >>= 4) {
    const auto code = static_cast<uint8_t>(codes & 0xF);
    const size_t width = BgParamWidth(code);
    if (width == 0) {
      continue;
    }
    if (offset + width > kHeaderBytes + fixedLen) {
      Log(kError, "lumen::details::BgEncodeMessage", row.name, "parameters exceed the fixed length");
      return false;
    }
    BgArg arg{};
    if (!take(arg)) {
      Log(kError, "lumen::details::BgEncodeMessage", row.name, "missing arguments");
      return false;
    }
    switch (code) {
      case kBgParamBdAddr:
        if (arg.pointer != nullptr) {
          std::memcpy(packet + offset, arg.pointer, width);
        } else {
          std::memset(packet + offset, 0, width);
        }
        break;
      case kBgParamUint8Array:
      case kBgParamString:
      case kBgParamUint16Array: {
        BgArg bytes{};
        if (!take(bytes)) {
          Log(kError, "lumen::details::BgEncodeMessage", row.name, "missing arguments");
          return false;
        }
        const uint32_t maxLen = width == 1 ? 0xFF : 0xFFFF;
        tailLen = static_cast<uint16_t>(arg.value & maxLen);
        tail = static_cast<const uint8_t*>(bytes.pointer);
        if (tail == nullptr) {
          tailLen = 0;
        }
        AppendLittleEndian(packet + offset, tailLen, width);
        break;
      }
      default:
        AppendLittleEndian(packet + offset, arg.value, width);
        break;
    }
    offset += width;
  }

  if (offset < kHeaderBytes + fixedLen) {
    std::memset(packet + offset, 0, kHeaderBytes + fixedLen - offset);
  }

  const size_t payloadLen = fixedLen + tailLen;
  if (payloadLen > kMaxPayloadBytes) {
    Log(kError, "lumen::details::BgEncodeMessage", row.name, "payload too long:", payloadLen);
    return false;
  }
  packet[1] = static_cast<uint8_t>(payloadLen & 0xFF);
  packet[0] = static_cast<uint8_t>(packet[0] | ((payloadLen >> 8) & 0x07));

  if (output != nullptr) {
    output(static_cast<uint8_t>(kHeaderBytes + fixedLen), packet, tailLen, tail);
  }
  return true;
}

void BgSendEncoded(int index, const BgArg* args, size_t argCount) {
  if (index < 0 || index >= kBgMessageCount) {
    Log(kError, "lumen::details::BgSendMessage", "no message row", index);
    return;
  }
  BgEncodeMessage(BgMessageTable[index], args, argCount, BgOutputHook.load());
}

}  // namespace lumen::details
