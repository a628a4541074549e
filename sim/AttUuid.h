#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/Bytes.h"

namespace lumen::sim {

// A 16-, 32- or 128-bit attribute UUID, kept least significant byte first as
// it travels in ATT PDUs.
class AttUuid {
 public:
  AttUuid() = default;

  // "180d", "0x180D", "0000180d" (32-bit) or "0000180d-0000-1000-8000-00805f9b34fb"
  // (most significant first). Throws std::invalid_argument otherwise.
  static AttUuid Parse(std::string_view text);
  static AttUuid From16(uint16_t value);
  // Throws std::invalid_argument unless the size is 2, 4 or 16.
  static AttUuid FromLittleEndian(Bytes bytes);

  const Bytes& LittleEndian() const { return m_littleEndian; }
  size_t Size() const { return m_littleEndian.size(); }
  bool Is16(uint16_t value) const;
  // The 128-bit form; short UUIDs are placed in the Bluetooth base UUID.
  Bytes Expanded() const;
  // Same UUID, whatever the width it is written in.
  bool Matches(const AttUuid& other) const { return Expanded() == other.Expanded(); }
  std::string ToString() const;

  bool operator==(const AttUuid&) const = default;

 private:
  Bytes m_littleEndian;
};

}  // namespace lumen::sim
