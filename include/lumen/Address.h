#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "lumen/Export.h"

namespace lumen {

// A Bluetooth device address, least significant byte first (over-the-air
// order). Equality and ordering ignore the address type.
class LUMEN_API Address {
 public:
  enum Type : int32_t { Public = 0, Random = 1 };

  Address() = default;
  Address(const std::array<uint8_t, 6>& bytes, Type type);

  // "aa:bb:cc:dd:ee:ff", most significant byte first.
  std::string ToString() const;
  std::wstring ToWstring() const;
  const uint8_t* bytes() const { return m_bytes.data(); }
  Type type() const { return m_type; }

 private:
  std::array<uint8_t, 6> m_bytes{};
  Type m_type = Public;
};

LUMEN_API bool operator==(const Address& a, const Address& b);
// Compares byte 0 first, so map order is not the order of the printed text.
LUMEN_API bool operator<(const Address& a, const Address& b);

// Byte strings as log lines print them: "0a ff " (two hex digits and a space each).
LUMEN_API std::string ToString(const std::vector<uint8_t>& bytes);

}  // namespace lumen
