#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumen/Address.h"
#include "lumen/DeviceConnectionHandle.h"
#include "lumen/Export.h"
#include "lumen/ProviderTypes.h"
#include "lumen/Uuid.h"

namespace lumen::details::bglib {

struct bd_addr_t;
struct uint8array;

// Conversions between BGAPI record fields and the library's values.
class LUMEN_API Helper {
 public:
  // Copies the address bytes in Address::bytes() order; returns the address type.
  static uint8_t BgAddrFromAddress(const Address& address, bd_addr_t* out);
  static Address BgAddrToAddress(const bd_addr_t* addr, uint8_t type);
  static Uuid BgUuidToUuid(const uint8array* array);
  // BGAPI sends UUIDs least significant byte first; 2, 4 or 16 bytes.
  static Uuid LittleEndianBytesToUuid(const std::vector<uint8_t>& bytes);
  static Uuid LittleEndianBytesToUuid(const uint8_t* bytes, size_t size);
  // Primary services of a connection, through the current provider.
  static std::vector<AttGroupItem> GetListOfServices(DeviceConnectionHandle h);
};

}  // namespace lumen::details::bglib
