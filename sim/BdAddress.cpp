#include "sim/BdAddress.h"

#include <stdexcept>

#include "sim/Bytes.h"

namespace lumen::sim {

BdAddress BdAddress::Parse(std::string_view text) {
  bool wellFormed = text.size() == 17;
  for (size_t i = 2; wellFormed && i < text.size(); i += 3) wellFormed = text[i] == ':';
  Bytes parsed;
  if (wellFormed) {
    try {
      parsed = ParseHex(text);
    } catch (const std::invalid_argument&) {
      wellFormed = false;
    }
  }
  if (!wellFormed || parsed.size() != 6) {
    throw std::invalid_argument("address must look like aa:bb:cc:dd:ee:ff, got \"" + std::string(text) + "\"");
  }
  BdAddress address;
  for (size_t i = 0; i < 6; ++i) address.bytes[i] = parsed[5 - i];
  return address;
}

std::string BdAddress::ToString() const {
  Bytes msbFirst(bytes.rbegin(), bytes.rend());
  return ToHex(msbFirst, ':');
}

}  // namespace lumen::sim
