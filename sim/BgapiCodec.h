#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/BdAddress.h"
#include "sim/BgapiTable.h"
#include "sim/Bytes.h"

namespace lumen::sim {

// An integer parameter, or the bytes of a uint8array or bd_addr (air order).
using BgapiValue = std::variant<int64_t, Bytes>;

struct BgapiMessage {
  const BgapiMessageDef* def = nullptr;
  std::vector<BgapiValue> values;

  // Both throw std::out_of_range for a parameter the message does not have.
  int64_t Int(std::string_view param) const;
  const Bytes& Array(std::string_view param) const;
  BdAddress Address(std::string_view param) const;
};

inline constexpr size_t kBgapiHeaderSize = 4;
inline constexpr uint8_t kBgapiEventBit = 0x80;
inline constexpr uint8_t kBgapiTechnologyMask = 0x78;

// Message classes (the third header byte) the radio implements.
inline constexpr uint8_t kBgapiClassSystem = 0;
inline constexpr uint8_t kBgapiClassConnection = 3;
inline constexpr uint8_t kBgapiClassAttclient = 4;
inline constexpr uint8_t kBgapiClassGap = 6;
inline constexpr uint8_t kBgapiClassHardware = 7;
inline constexpr uint8_t kBgapiClassDfu = 9;  // the highest

// Header plus payload of one message. Throws std::invalid_argument when the
// values do not fit the row (count, kind, range, array over 255 bytes).
Bytes EncodeBgapi(const BgapiMessageDef& def, const std::vector<BgapiValue>& values);
Bytes EncodeBgapi(BgapiKind kind, std::string_view name, const std::vector<BgapiValue>& values);

// Payload length announced by a header (all eleven length bits).
size_t BgapiPayloadLength(const uint8_t* header);

struct BgapiDecoded {
  std::optional<BgapiMessage> message;
  std::string error;  // why message is empty
};

// Decodes one whole frame. `fromHost`: a frame without the event bit is a command
// (host to radio) rather than a response.
BgapiDecoded DecodeBgapi(const uint8_t* frame, size_t size, bool fromHost);

}  // namespace lumen::sim
