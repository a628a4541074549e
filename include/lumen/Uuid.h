#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lumen/Export.h"

namespace lumen {

// A 16-, 32- or 128-bit Bluetooth UUID. Short and long forms are distinct
// values: 0x180D is not equal to its base-UUID expansion.
class LUMEN_API Uuid {
 public:
  static constexpr size_t kShort16UuidSize = 2;
  static constexpr size_t kShort32UuidSize = 4;
  static constexpr size_t kLongUuidSize = 16;

  class Impl;

  Uuid(uint16_t value = 0);  // NOLINT(google-explicit-constructor): UUIDs read like numbers
  Uuid(uint32_t value);      // NOLINT(google-explicit-constructor)
  Uuid(const std::array<uint8_t, kLongUuidSize>& bytes);  // NOLINT(google-explicit-constructor)
  // Canonical 8-4-4-4-12 text; throws boost::bad_lexical_cast otherwise.
  explicit Uuid(const std::string& text);

  Uuid(const Uuid& other);
  Uuid& operator=(const Uuid& other);
  Uuid(Uuid&& other) noexcept;
  Uuid& operator=(Uuid&& other) noexcept;
  ~Uuid();

  std::string ToString() const;
  std::wstring ToWstring() const;
  // Short values little-endian; long values in text order.
  const uint8_t* bytes() const;
  size_t size() const;
  bool IsShort() const;

  bool EqualTo(const Uuid& other) const;
  // Smaller sizes first, then bytewise (memcmp) over the stored bytes.
  bool LessThan(const Uuid& other) const;

  static bool IsValidUuidSize(size_t n);

 private:
  std::unique_ptr<Impl> m_impl;
};

LUMEN_API bool operator==(const Uuid& a, const Uuid& b);
LUMEN_API bool operator!=(const Uuid& a, const Uuid& b);
LUMEN_API bool operator<(const Uuid& a, const Uuid& b);

}  // namespace lumen
