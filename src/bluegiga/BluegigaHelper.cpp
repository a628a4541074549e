#include "lumen/BluegigaHelper.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "bluegiga/BgTypes.h"
#include "lumen/Errors.h"

namespace lumen::details::bglib {

uint8_t Helper::BgAddrFromAddress(const Address& address, bd_addr_t* out) {
  std::memcpy(out->addr, address.bytes(), sizeof out->addr);
  return static_cast<uint8_t>(address.type());
}

Address Helper::BgAddrToAddress(const bd_addr_t* addr, uint8_t type) {
  std::array<uint8_t, 6> bytes{};
  std::memcpy(bytes.data(), addr->addr, bytes.size());
  return Address(bytes, static_cast<Address::Type>(type));
}

Uuid Helper::BgUuidToUuid(const uint8array* array) {
  if (array == nullptr) {
    return LittleEndianBytesToUuid(nullptr, 0);
  }
  return LittleEndianBytesToUuid(array->data(), array->len);
}

Uuid Helper::LittleEndianBytesToUuid(const std::vector<uint8_t>& bytes) {
  return LittleEndianBytesToUuid(bytes.data(), bytes.size());
}

Uuid Helper::LittleEndianBytesToUuid(const uint8_t* bytes, size_t size) {
  if (bytes == nullptr) {
    throw KesBluetoothSDKLibError("invalid uuid data format - NULL", kErrorGeneral);
  }
  if (!Uuid::IsValidUuidSize(size)) {
    throw KesBluetoothSDKLibError("invalid uuid data size " + std::to_string(size), kErrorGeneral);
  }
  if (size == Uuid::kShort16UuidSize) {
    return Uuid(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
  }
  if (size == Uuid::kShort32UuidSize) {
    return Uuid(static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24));
  }
  std::array<uint8_t, Uuid::kLongUuidSize> reversed{};
  std::reverse_copy(bytes, bytes + size, reversed.begin());
  return Uuid(reversed);
}

}  // namespace lumen::details::bglib
