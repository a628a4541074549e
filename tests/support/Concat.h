#pragma once

// Byte strings joined end to end, for tests that build frames and packets
// from named parts.

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace lumen::testing {

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

}  // namespace lumen::testing
