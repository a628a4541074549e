#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "lumen/Export.h"

namespace lumen {

/// A Bluetooth device address, least significant byte first (over-the-air
/// order). Equality and ordering ignore the address type.
class LUMEN_API Address {
 public:
  /// Whether the address is a public (IEEE-assigned) or a random one.
  enum Type : int32_t {
    Public = 0,  ///< A public device address.
    Random = 1   ///< A random address (static or private); phones change theirs now and then.
  };

  /// The public address 00:00:00:00:00:00, also what a device whose record is gone reports.
  Address() = default;
  /// \param bytes the six address bytes, least significant first.
  /// \param type public or random.
  Address(const std::array<uint8_t, 6>& bytes, Type type);

  /// \return "aa:bb:cc:dd:ee:ff": lower-case hex, most significant byte first.
  std::string ToString() const;
  /// \return the text of ToString() as a wide string.
  std::wstring ToWstring() const;
  /// \return the six bytes, least significant first; valid while this object lives.
  const uint8_t* bytes() const { return m_bytes.data(); }
  /// \return the address type.
  Type type() const { return m_type; }

 private:
  std::array<uint8_t, 6> m_bytes{};
  Type m_type = Public;
};

/// \return whether the six bytes are equal; the address type is not compared.
/// \param a, b the addresses compared.
LUMEN_API bool operator==(const Address& a, const Address& b);
/// Orders addresses by their bytes, byte 0 (the least significant) first, so map order is not the
/// order of the printed text. The address type is not compared.
/// \param a, b the addresses compared.
/// \return whether `a` comes before `b`.
LUMEN_API bool operator<(const Address& a, const Address& b);

/// Byte strings as log lines print them.
/// \param bytes any bytes.
/// \return two lower-case hex digits and a space per byte, e.g. "0a ff "; empty for no bytes.
LUMEN_API std::string ToString(const std::vector<uint8_t>& bytes);

}  // namespace lumen
