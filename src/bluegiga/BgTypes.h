#pragma once

#include <bit>
#include <cstdint>

namespace lumen::details::bglib {

// BGAPI records are the radio's little-endian bytes read in place.
static_assert(std::endian::native == std::endian::little, "BGAPI records are read in place on little-endian hosts");

#pragma pack(push, 1)

// A device address, least significant byte first.
struct bd_addr_t {
  uint8_t addr[6];
};

// A byte array on the wire: one length byte, then `len` bytes. Only the
// length byte belongs to the record; the bytes follow it in the payload.
struct uint8array {
  uint8_t len;

  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this) + 1; }
};

#pragma pack(pop)

static_assert(sizeof(bd_addr_t) == 6);
static_assert(sizeof(uint8array) == 1);

}  // namespace lumen::details::bglib
