#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace lumen::sim {

enum class AddressType : uint8_t { kPublic = 0, kRandom = 1 };

// A 6-byte device address. `bytes` are in air order, least significant first;
// the text form "aa:bb:cc:dd:ee:ff" is most significant first.
struct BdAddress {
  std::array<uint8_t, 6> bytes{};

  // Throws std::invalid_argument unless the text is six colon-separated hex pairs.
  static BdAddress Parse(std::string_view text);
  std::string ToString() const;

  bool operator==(const BdAddress&) const = default;
  auto operator<=>(const BdAddress&) const = default;
};

}  // namespace lumen::sim
