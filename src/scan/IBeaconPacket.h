#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lumen/Uuid.h"

namespace lumen::details {

// The 30-byte iBeacon advertising payload: a flags structure followed by
// Apple's manufacturer-specific structure. Only UUID, major and minor vary.
class IBeaconPacket {
 public:
  static constexpr size_t kSize = 30;
  static constexpr size_t kUuidOffset = 9;
  static constexpr size_t kUuidSize = 16;
  static constexpr size_t kMajorOffset = 25;
  static constexpr size_t kMinorOffset = 27;

  IBeaconPacket();

  // A 16- or 32-bit UUID replaces only the first 2 or 4 UUID bytes.
  void SetUuid(const Uuid& uuid);
  // Both written big-endian, as iBeacon receivers read them.
  void SetMajor(uint16_t major);
  void SetMinor(uint16_t minor);

  uint16_t GetMajor() const;
  uint16_t GetMinor() const;
  std::string UuidText() const;
  const std::vector<uint8_t>& bytes() const { return m_bytes; }

 private:
  void WriteBigEndian(size_t offset, uint16_t value);
  uint16_t ReadBigEndian(size_t offset) const;

  std::vector<uint8_t> m_bytes;
};

}  // namespace lumen::details
