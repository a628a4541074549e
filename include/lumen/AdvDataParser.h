#pragma once

#include <boost/variant.hpp>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "lumen/Export.h"
#include "lumen/Uuid.h"

namespace lumen::details {

// Reads the advertising-data structures (length, type, value) of one
// advertisement payload, keeping only what the library uses. The one exported
// header that needs Boost's headers (for the variant of its values).
class LUMEN_API AdvDataParser {
 public:
  enum Type : int { ServiceUuids = 0, LocalName = 1, TxPowerLevel = 2 };
  using Value = boost::variant<std::vector<Uuid>, std::string, signed char>;
  using Items = std::map<Type, Value>;

  // Never throws: a malformed payload logs one WARNING and yields what was
  // read before the fault. macText only labels the log lines.
  static Items Parse(const std::vector<unsigned char>& data, const std::string& macText);

 private:
  // Appends the UUID to ServiceUuids; sizes other than 2, 4 or 16 throw.
  static void AddLittleEndianUuidBytesToAdvDataItemMap(const unsigned char* bytes, size_t size, Items& items);
};

}  // namespace lumen::details
