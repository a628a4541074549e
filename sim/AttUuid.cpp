#include "sim/AttUuid.h"

#include <algorithm>
#include <stdexcept>

namespace lumen::sim {

namespace {

// 00000000-0000-1000-8000-00805f9b34fb, least significant byte first.
constexpr uint8_t kBaseUuid[16] = {0xfb, 0x34, 0x9b, 0x5f, 0x80, 0x00, 0x00, 0x80,
                                   0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace

AttUuid AttUuid::Parse(std::string_view text) {
  std::string_view digits = text;
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.remove_prefix(2);
  bool dashed = digits.find('-') != std::string_view::npos;
  if (dashed &&
      (digits.size() != 36 || digits[8] != '-' || digits[13] != '-' || digits[18] != '-' || digits[23] != '-')) {
    throw std::invalid_argument("UUID must be 4, 8 or 32 hex digits or the dashed 128-bit form, got \"" +
                                std::string(text) + "\"");
  }
  Bytes msbFirst;
  try {
    msbFirst = ParseHex(digits);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("UUID is not hex: \"" + std::string(text) + "\"");
  }
  if (msbFirst.size() != 2 && msbFirst.size() != 4 && msbFirst.size() != 16) {
    throw std::invalid_argument("UUID must be 16, 32 or 128 bits, got \"" + std::string(text) + "\"");
  }
  std::reverse(msbFirst.begin(), msbFirst.end());
  return FromLittleEndian(std::move(msbFirst));
}

AttUuid AttUuid::From16(uint16_t value) {
  AttUuid uuid;
  AppendLe16(uuid.m_littleEndian, value);
  return uuid;
}

AttUuid AttUuid::FromLittleEndian(Bytes bytes) {
  if (bytes.size() != 2 && bytes.size() != 4 && bytes.size() != 16) {
    throw std::invalid_argument("UUID size must be 2, 4 or 16 bytes");
  }
  AttUuid uuid;
  uuid.m_littleEndian = std::move(bytes);
  return uuid;
}

bool AttUuid::Is16(uint16_t value) const { return Size() == 2 && ReadLe16(m_littleEndian.data()) == value; }

Bytes AttUuid::Expanded() const {
  if (Size() == 16 || Size() == 0) return m_littleEndian;
  Bytes full(kBaseUuid, kBaseUuid + 16);
  std::copy(m_littleEndian.begin(), m_littleEndian.end(), full.begin() + 12);
  return full;
}

std::string AttUuid::ToString() const {
  Bytes msbFirst(m_littleEndian.rbegin(), m_littleEndian.rend());
  std::string hex = ToHex(msbFirst, '\0');
  if (Size() == 16) {
    hex.insert(20, "-");
    hex.insert(16, "-");
    hex.insert(12, "-");
    hex.insert(8, "-");
  }
  return hex;
}

}  // namespace lumen::sim
