#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lumen/Export.h"

namespace lumen {

/// A 16-, 32- or 128-bit Bluetooth UUID. Short and long forms are distinct values: 0x180D is not
/// equal to its base-UUID expansion. A value type; separate objects may be used from separate
/// threads.
class LUMEN_API Uuid {
 public:
  static constexpr size_t kShort16UuidSize = 2;  ///< Bytes of a 16-bit UUID.
  static constexpr size_t kShort32UuidSize = 4;  ///< Bytes of a 32-bit UUID.
  static constexpr size_t kLongUuidSize = 16;    ///< Bytes of a 128-bit UUID.

  class Impl;

  /// A 16-bit UUID.
  /// \param value the UUID, 0 by default.
  Uuid(uint16_t value = 0);  // NOLINT(google-explicit-constructor): UUIDs read like numbers
  /// A 32-bit UUID.
  /// \param value the UUID.
  Uuid(uint32_t value);  // NOLINT(google-explicit-constructor)
  /// A 128-bit UUID.
  /// \param bytes the UUID in text order (most significant byte first).
  Uuid(const std::array<uint8_t, kLongUuidSize>& bytes);  // NOLINT(google-explicit-constructor)
  /// A 128-bit UUID from its text.
  /// \param text canonical 8-4-4-4-12 hex text, e.g. "a3c87500-8ed3-4bdf-8a39-a01bebede295".
  /// \throws boost::bad_lexical_cast for any other text.
  explicit Uuid(const std::string& text);

  /// \param other the UUID copied.
  Uuid(const Uuid& other);
  /// \param other the UUID copied.
  /// \return this UUID.
  Uuid& operator=(const Uuid& other);
  /// \param other the UUID moved from; only assignment and destruction are allowed on it after.
  Uuid(Uuid&& other) noexcept;
  /// \param other the UUID moved from; only assignment and destruction are allowed on it after.
  /// \return this UUID.
  Uuid& operator=(Uuid&& other) noexcept;
  ~Uuid();

  /// \return lower-case hex: four or eight digits for a short UUID, 8-4-4-4-12 text for a long one.
  std::string ToString() const;
  /// \return the text of ToString() as a wide string.
  std::wstring ToWstring() const;
  /// \return the stored bytes: short values little-endian, long values in text order; size()
  ///         of them, valid while this object lives unchanged.
  const uint8_t* bytes() const;
  /// \return 2, 4 or 16.
  size_t size() const;
  /// \return whether this is a 16- or 32-bit UUID.
  bool IsShort() const;

  /// \param other the UUID compared.
  /// \return whether size and bytes are equal.
  bool EqualTo(const Uuid& other) const;
  /// Smaller sizes first, then bytewise (memcmp) over the stored bytes.
  /// \param other the UUID compared.
  /// \return whether this UUID comes before `other`.
  bool LessThan(const Uuid& other) const;

  /// \param n a byte count.
  /// \return whether a UUID may have `n` bytes (2, 4 or 16).
  static bool IsValidUuidSize(size_t n);

 private:
  std::unique_ptr<Impl> m_impl;
};

/// \param a, b the UUIDs compared.
/// \return a.EqualTo(b).
LUMEN_API bool operator==(const Uuid& a, const Uuid& b);
/// \param a, b the UUIDs compared.
/// \return !a.EqualTo(b).
LUMEN_API bool operator!=(const Uuid& a, const Uuid& b);
/// \param a, b the UUIDs compared.
/// \return a.LessThan(b).
LUMEN_API bool operator<(const Uuid& a, const Uuid& b);

}  // namespace lumen
