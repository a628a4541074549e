#pragma once

#include <boost/variant.hpp>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "lumen/Export.h"
#include "lumen/Uuid.h"

/// Exported for the library's own layers and for tests; applications use the names of namespace
/// lumen. These may change between versions.
namespace lumen::details {

/// Reads the advertising-data structures (length, type, value) of one advertisement payload,
/// keeping only what the library uses. The one exported header that needs Boost's headers (for
/// the variant of its values). Stateless: callable from any thread.
class LUMEN_API AdvDataParser {
 public:
  /// The items the parser keeps.
  enum Type : int {
    ServiceUuids = 0,  ///< Every 16-, 32- and 128-bit service UUID, as a std::vector<Uuid>.
    LocalName = 1,     ///< The complete local name, as a std::string of its bytes.
    TxPowerLevel = 2   ///< The transmit power level in dBm, as a signed char.
  };
  /// One item's value; its alternative follows from the item's Type.
  using Value = boost::variant<std::vector<Uuid>, std::string, signed char>;
  /// The items found, at most one per Type.
  using Items = std::map<Type, Value>;

  /// Parses one payload. Never throws: a malformed payload logs one WARNING and yields what was
  /// read before the fault.
  /// \param data the advertising-data structures of one advertisement.
  /// \param macText labels the log lines only.
  /// \return the items found.
  static Items Parse(const std::vector<unsigned char>& data, const std::string& macText);

 private:
  // Appends the UUID to ServiceUuids; sizes other than 2, 4 or 16 throw.
  static void AddLittleEndianUuidBytesToAdvDataItemMap(const unsigned char* bytes, size_t size, Items& items);
};

}  // namespace lumen::details
