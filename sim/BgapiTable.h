#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The BGAPI message rows of the BLED112/BLE113 firmware generation, as the
// virtual radio knows them.
namespace lumen::sim {

enum class BgapiKind : uint8_t { kCommand, kResponse, kEvent };
enum class BgapiType : uint8_t { kUint8, kInt8, kUint16, kInt16, kUint32, kInt32, kUint8Array, kBdAddr };

struct BgapiParam {
  std::string name;
  BgapiType type;
};

struct BgapiMessageDef {
  BgapiKind kind;
  uint8_t classId;
  uint8_t messageId;
  std::string name;  // "gap_discover"
  std::vector<BgapiParam> params;
  size_t fixedLength;  // payload bytes before an array's contents

  std::string FullName() const;               // "ble_cmd_gap_discover", "ble_rsp_…", "ble_evt_…"
  int IndexOf(std::string_view param) const;  // -1 when absent
};

const std::vector<BgapiMessageDef>& BgapiMessages();
const BgapiMessageDef* FindBgapiMessage(BgapiKind kind, uint8_t classId, uint8_t messageId);
// Accepts the short name ("gap_discover") or the full one ("ble_cmd_gap_discover").
const BgapiMessageDef* FindBgapiMessage(BgapiKind kind, std::string_view name);
// The full name of the row that answers or announces this header's message; "" when unknown.
std::string BgapiFullName(BgapiKind kind, uint8_t classId, uint8_t messageId);

}  // namespace lumen::sim
