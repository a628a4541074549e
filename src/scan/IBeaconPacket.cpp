#include "scan/IBeaconPacket.h"

#include <algorithm>

#include "lumen/Address.h"

namespace lumen::details {

IBeaconPacket::IBeaconPacket()
    : m_bytes{
          0x02, 0x01, 0x06,                                // flags: LE General Discoverable, BR/EDR not supported
          0x1A, 0xFF, 0x4C, 0x00,                          // 26 bytes of manufacturer data, company 0x004C (Apple)
          0x02, 0x15,                                      // iBeacon indicator, 21 bytes follow
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // proximity UUID, set before use
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //
          0x00, 0x01,                                      // major
          0x00, 0x01,                                      // minor
          0xC0,                                            // measured power at 1 m: -64 dBm
      } {}

void IBeaconPacket::SetUuid(const Uuid& uuid) {
  const size_t count = std::min(uuid.size(), kUuidSize);
  std::copy_n(uuid.bytes(), count, m_bytes.begin() + static_cast<std::ptrdiff_t>(kUuidOffset));
}

void IBeaconPacket::SetMajor(uint16_t major) { WriteBigEndian(kMajorOffset, major); }

void IBeaconPacket::SetMinor(uint16_t minor) { WriteBigEndian(kMinorOffset, minor); }

uint16_t IBeaconPacket::GetMajor() const { return ReadBigEndian(kMajorOffset); }

uint16_t IBeaconPacket::GetMinor() const { return ReadBigEndian(kMinorOffset); }

std::string IBeaconPacket::UuidText() const {
  const auto first = m_bytes.begin() + static_cast<std::ptrdiff_t>(kUuidOffset);
  return lumen::ToString(std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(kUuidSize)));
}

void IBeaconPacket::WriteBigEndian(size_t offset, uint16_t value) {
  m_bytes[offset] = static_cast<uint8_t>(value >> 8);
  m_bytes[offset + 1] = static_cast<uint8_t>(value & 0xFF);
}

uint16_t IBeaconPacket::ReadBigEndian(size_t offset) const {
  return static_cast<uint16_t>((m_bytes[offset] << 8) | m_bytes[offset + 1]);
}

}  // namespace lumen::details
