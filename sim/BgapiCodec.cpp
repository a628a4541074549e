#include "sim/BgapiCodec.h"

#include <stdexcept>

namespace lumen::sim {

namespace {

struct Range {
  int64_t min;
  int64_t max;
  size_t size;
};

Range RangeOf(BgapiType type) {
  switch (type) {
    case BgapiType::kUint8:
      return {0, 0xFF, 1};
    case BgapiType::kInt8:
      return {-128, 127, 1};
    case BgapiType::kUint16:
      return {0, 0xFFFF, 2};
    case BgapiType::kInt16:
      return {-32768, 32767, 2};
    case BgapiType::kUint32:
      return {0, 0xFFFFFFFFll, 4};
    case BgapiType::kInt32:
      return {INT32_MIN, INT32_MAX, 4};
    default:
      return {0, 0, 0};
  }
}

bool IsSigned(BgapiType type) {
  return type == BgapiType::kInt8 || type == BgapiType::kInt16 || type == BgapiType::kInt32;
}

const BgapiValue& ValueOf(const BgapiMessage& message, std::string_view param) {
  int index = message.def == nullptr ? -1 : message.def->IndexOf(param);
  if (index < 0) throw std::out_of_range("message has no parameter " + std::string(param));
  return message.values.at(static_cast<size_t>(index));
}

}  // namespace

int64_t BgapiMessage::Int(std::string_view param) const {
  const BgapiValue& value = ValueOf(*this, param);
  if (!std::holds_alternative<int64_t>(value)) throw std::out_of_range(std::string(param) + " is not an integer");
  return std::get<int64_t>(value);
}

const Bytes& BgapiMessage::Array(std::string_view param) const {
  const BgapiValue& value = ValueOf(*this, param);
  if (!std::holds_alternative<Bytes>(value)) throw std::out_of_range(std::string(param) + " is not a byte array");
  return std::get<Bytes>(value);
}

BdAddress BgapiMessage::Address(std::string_view param) const {
  const Bytes& bytes = Array(param);
  BdAddress address;
  if (bytes.size() != 6) throw std::out_of_range(std::string(param) + " is not an address");
  std::copy(bytes.begin(), bytes.end(), address.bytes.begin());
  return address;
}

Bytes EncodeBgapi(const BgapiMessageDef& def, const std::vector<BgapiValue>& values) {
  if (values.size() != def.params.size()) {
    throw std::invalid_argument(def.FullName() + " takes " + std::to_string(def.params.size()) + " values, got " +
                                std::to_string(values.size()));
  }
  Bytes payload;
  Bytes tail;
  for (size_t i = 0; i < values.size(); ++i) {
    const BgapiParam& param = def.params[i];
    const std::string where = def.FullName() + "." + param.name;
    if (param.type == BgapiType::kUint8Array || param.type == BgapiType::kBdAddr) {
      if (!std::holds_alternative<Bytes>(values[i])) throw std::invalid_argument(where + " needs bytes");
      const Bytes& bytes = std::get<Bytes>(values[i]);
      if (param.type == BgapiType::kBdAddr) {
        if (bytes.size() != 6) throw std::invalid_argument(where + " needs 6 bytes");
        payload.insert(payload.end(), bytes.begin(), bytes.end());
      } else {
        if (bytes.size() > 255) throw std::invalid_argument(where + " holds at most 255 bytes");
        payload.push_back(static_cast<uint8_t>(bytes.size()));
        tail.insert(tail.end(), bytes.begin(), bytes.end());
      }
      continue;
    }
    if (!std::holds_alternative<int64_t>(values[i])) throw std::invalid_argument(where + " needs an integer");
    int64_t value = std::get<int64_t>(values[i]);
    Range range = RangeOf(param.type);
    if (value < range.min || value > range.max) {
      throw std::invalid_argument(where + " out of range: " + std::to_string(value));
    }
    uint64_t bits = static_cast<uint64_t>(value);
    for (size_t b = 0; b < range.size; ++b) payload.push_back(static_cast<uint8_t>((bits >> (8 * b)) & 0xFF));
  }
  payload.insert(payload.end(), tail.begin(), tail.end());
  if (payload.size() > 0x7FF) throw std::invalid_argument(def.FullName() + " payload too long");
  Bytes frame;
  frame.reserve(kBgapiHeaderSize + payload.size());
  uint8_t kindBit = def.kind == BgapiKind::kEvent ? kBgapiEventBit : 0;
  frame.push_back(static_cast<uint8_t>(kindBit | ((payload.size() >> 8) & 0x07)));
  frame.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
  frame.push_back(def.classId);
  frame.push_back(def.messageId);
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

Bytes EncodeBgapi(BgapiKind kind, std::string_view name, const std::vector<BgapiValue>& values) {
  const BgapiMessageDef* def = FindBgapiMessage(kind, name);
  if (def == nullptr) throw std::invalid_argument("no BGAPI message " + std::string(name));
  return EncodeBgapi(*def, values);
}

size_t BgapiPayloadLength(const uint8_t* header) { return (static_cast<size_t>(header[0] & 0x07) << 8) | header[1]; }

BgapiDecoded DecodeBgapi(const uint8_t* frame, size_t size, bool fromHost) {
  BgapiDecoded out;
  if (size < kBgapiHeaderSize) {
    out.error = "frame shorter than a header";
    return out;
  }
  if (frame[0] & kBgapiTechnologyMask) {
    out.error = "technology bits set";
    return out;
  }
  if (BgapiPayloadLength(frame) != size - kBgapiHeaderSize) {
    out.error = "payload length differs from the header";
    return out;
  }
  BgapiKind kind = (frame[0] & kBgapiEventBit) ? BgapiKind::kEvent
                   : fromHost                  ? BgapiKind::kCommand
                                               : BgapiKind::kResponse;
  const BgapiMessageDef* def = FindBgapiMessage(kind, frame[2], frame[3]);
  if (def == nullptr) {
    out.error = "unknown message class " + std::to_string(frame[2]) + " id " + std::to_string(frame[3]);
    return out;
  }
  BgapiMessage message{def, {}};
  const uint8_t* payload = frame + kBgapiHeaderSize;
  size_t payloadSize = size - kBgapiHeaderSize;
  size_t at = 0;
  for (const BgapiParam& param : def->params) {
    if (param.type == BgapiType::kUint8Array) {
      if (at + 1 > payloadSize) break;
      size_t length = payload[at++];
      if (at + length > payloadSize) {
        out.error = def->FullName() + "." + param.name + " runs past the payload";
        return out;
      }
      message.values.emplace_back(Bytes(payload + at, payload + at + length));
      at += length;
      continue;
    }
    if (param.type == BgapiType::kBdAddr) {
      if (at + 6 > payloadSize) break;
      message.values.emplace_back(Bytes(payload + at, payload + at + 6));
      at += 6;
      continue;
    }
    Range range = RangeOf(param.type);
    if (at + range.size > payloadSize) break;
    uint64_t bits = 0;
    for (size_t b = 0; b < range.size; ++b) bits |= static_cast<uint64_t>(payload[at + b]) << (8 * b);
    int64_t value = static_cast<int64_t>(bits);
    if (IsSigned(param.type) && (bits >> (8 * range.size - 1)) != 0) {
      value -= static_cast<int64_t>(1) << (8 * range.size);
    }
    message.values.emplace_back(value);
    at += range.size;
  }
  if (message.values.size() != def->params.size()) {
    out.error = def->FullName() + " payload too short";
    return out;
  }
  if (at != payloadSize) {
    out.error = def->FullName() + " payload has " + std::to_string(payloadSize - at) + " bytes too many";
    return out;
  }
  out.message = std::move(message);
  return out;
}

}  // namespace lumen::sim
