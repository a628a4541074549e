#pragma once

#include <string>
#include <vector>

#include "lumen/Export.h"
#include "lumen/Uuid.h"

namespace lumen {

// Reads single items from an advertisement payload. Each call parses the
// whole payload; malformed payloads are logged and read as far as they go.
// macText only labels the log lines.
class LUMEN_API AdvDataHelper {
 public:
  // All service UUIDs of the 16-, 32- and 128-bit lists, in payload order.
  static bool GetUuidsIfContains(const std::vector<unsigned char>& data, std::vector<Uuid>& uuids,
                                 const std::string& macText);
  // The complete local name (a shortened name is not reported); the first one wins.
  static bool GetNameIfContains(const std::vector<unsigned char>& data, std::string& name, const std::string& macText);
  // Each byte becomes one wide character by sign extension to 16 bits, so
  // bytes 0x80 to 0xFF become 0xFF80 to 0xFFFF (the name is not decoded).
  static bool GetNameIfContains(const std::vector<unsigned char>& data, std::wstring& name, const std::string& macText);
  static bool GetTXPowerIfContains(const std::vector<unsigned char>& data, signed char& txPower,
                                   const std::string& macText);
};

}  // namespace lumen
