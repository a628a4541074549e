#pragma once

// Building SoftDevice event records as the driver hands them over.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "sd_rpc.h"
#include "sim/BdAddress.h"
#include "sim/Bytes.h"

namespace lumen::sim::nrf52 {

// Vendor error codes the trimmed headers leave out.
inline constexpr uint32_t kErrorGapInvalidBleAddr = NRF_GAP_ERR_BASE + 0x002;

inline constexpr uint16_t kPeerMtu = 185;  // what phones offer
inline constexpr size_t kOnAirLimit = 100000;

// A zeroed record of at least sizeof(ble_evt_t); `length` (header included)
// goes into evt_len.
inline Bytes NewEvent(uint16_t id, size_t length = sizeof(ble_evt_t)) {
  Bytes bytes(std::max(length, sizeof(ble_evt_t)), 0);
  auto* event = reinterpret_cast<ble_evt_t*>(bytes.data());
  event->header.evt_id = id;
  event->header.evt_len = static_cast<uint16_t>(length);
  return bytes;
}

inline ble_evt_t* EventOf(Bytes& bytes) { return reinterpret_cast<ble_evt_t*>(bytes.data()); }

// The SoftDevice's address type for a peer's address: random ones by the two
// most significant bits of the most significant byte.
inline uint8_t GapAddrType(const BdAddress& address, AddressType type) {
  if (type == AddressType::kPublic) return BLE_GAP_ADDR_TYPE_PUBLIC;
  switch (address.bytes[5] >> 6) {
    case 0x3:
      return BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
    case 0x1:
      return BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_RESOLVABLE;
    case 0x0:
      return BLE_GAP_ADDR_TYPE_RANDOM_PRIVATE_NON_RESOLVABLE;
    default:  // 10 is reserved; a controller would not accept it as any sub-type
      return BLE_GAP_ADDR_TYPE_RANDOM_STATIC;
  }
}

inline void FillAddr(ble_gap_addr_t& out, const BdAddress& address, AddressType type) {
  out.addr_id_peer = 0;
  out.addr_type = GapAddrType(address, type) & 0x7F;
  std::copy(address.bytes.begin(), address.bytes.end(), out.addr);
}

inline int8_t ClampDbm(int dbm) { return static_cast<int8_t>(std::clamp(dbm, -128, 127)); }

}  // namespace lumen::sim::nrf52
