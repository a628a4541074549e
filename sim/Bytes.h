#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumen::sim {

using Bytes = std::vector<uint8_t>;

// Hex text to bytes. Accepts "0a1B", "0a 1b", "0a:1b" and "0a-1b"; an optional
// leading "0x". Throws std::invalid_argument on an odd digit count or a non-hex character.
Bytes ParseHex(std::string_view text);

// Lower-case hex, two digits per byte, separated by `separator` unless it is '\0'.
std::string ToHex(const Bytes& bytes, char separator = ' ');

void AppendLe16(Bytes& out, uint16_t value);
void AppendLe32(Bytes& out, uint32_t value);
uint16_t ReadLe16(const uint8_t* bytes);
uint32_t ReadLe32(const uint8_t* bytes);

}  // namespace lumen::sim
