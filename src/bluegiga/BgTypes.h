#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <type_traits>

namespace lumen::details::bglib {

// BGAPI records are the radio's little-endian bytes read in place.
static_assert(std::endian::native == std::endian::little, "BGAPI records are read in place on little-endian hosts");

#pragma pack(push, 1)

// A device address, least significant byte first.
struct bd_addr_t {
  uint8_t addr[6];
};

// A multi-byte integer field of a record. Record fields sit at odd offsets,
// and binding a reference to a misaligned plain integer (a log piece, a test
// assertion, std::min) is undefined behaviour; this type has alignment 1, so
// references to it are always valid, and it converts to and from T.
template <class T>
struct LittleEndianField {
  static_assert(std::is_integral_v<T>);

  uint8_t bytes[sizeof(T)];

  LittleEndianField() = default;
  constexpr LittleEndianField(T value) {  // NOLINT(google-explicit-constructor): used like the integer
    for (size_t i = 0; i < sizeof(T); ++i) {
      bytes[i] = static_cast<uint8_t>(static_cast<std::make_unsigned_t<T>>(value) >> (8 * i));
    }
  }
  operator T() const {  // NOLINT(google-explicit-constructor)
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
  }
};

template <class T>
std::ostream& operator<<(std::ostream& stream, const LittleEndianField<T>& field) {
  return stream << static_cast<T>(field);
}

using uint16le = LittleEndianField<uint16_t>;
using int16le = LittleEndianField<int16_t>;
using uint32le = LittleEndianField<uint32_t>;
using int32le = LittleEndianField<int32_t>;

// A byte array on the wire: one length byte, then `len` bytes. Only the
// length byte belongs to the record; the bytes follow it in the payload.
struct uint8array {
  uint8_t len;

  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this) + 1; }
};

#pragma pack(pop)

static_assert(sizeof(bd_addr_t) == 6);
static_assert(sizeof(uint16le) == 2 && alignof(uint16le) == 1 && std::is_trivially_copyable_v<uint16le>);
static_assert(sizeof(uint32le) == 4 && alignof(uint32le) == 1 && std::is_trivially_copyable_v<uint32le>);
static_assert(sizeof(uint8array) == 1);

}  // namespace lumen::details::bglib
