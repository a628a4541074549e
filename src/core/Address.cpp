#include "lumen/Address.h"

#include <cstdio>
#include <cstring>

namespace lumen {

Address::Address(const std::array<uint8_t, 6>& bytes, Type type) : m_bytes(bytes), m_type(type) {}

std::string Address::ToString() const {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", m_bytes[5], m_bytes[4], m_bytes[3], m_bytes[2],
                m_bytes[1], m_bytes[0]);
  return text;
}

std::wstring Address::ToWstring() const {
  const std::string text = ToString();
  return {text.begin(), text.end()};
}

bool operator==(const Address& a, const Address& b) { return std::memcmp(a.bytes(), b.bytes(), 6) == 0; }

bool operator<(const Address& a, const Address& b) { return std::memcmp(a.bytes(), b.bytes(), 6) < 0; }

std::string ToString(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (const uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
    text.push_back(' ');
  }
  return text;
}

}  // namespace lumen
