#pragma once

#include <string>
#include <vector>

#include "lumen/Export.h"
#include "lumen/Uuid.h"

namespace lumen {

/// Reads single items from an advertisement payload (as BluetoothDevice::advertisement_data()
/// returns it). Each call parses the whole payload; a malformed payload is logged at WARNING and
/// read as far as it goes. Stateless: callable from any thread, initialised or not.
class LUMEN_API AdvDataHelper {
 public:
  /// All service UUIDs of the payload's 16-, 32- and 128-bit lists, in payload order.
  /// \param data the advertising-data structures of one advertisement.
  /// \param uuids cleared, then filled with the UUIDs.
  /// \param macText labels the log lines only (the device's address, for example).
  /// \return whether the payload holds a service UUID list.
  static bool GetUuidsIfContains(const std::vector<unsigned char>& data, std::vector<Uuid>& uuids,
                                 const std::string& macText);
  /// The complete local name; a shortened name is not reported. The first one wins.
  /// \param data the advertising-data structures of one advertisement.
  /// \param name cleared, then set to the name's bytes.
  /// \param macText labels the log lines only.
  /// \return whether the payload holds a complete local name.
  static bool GetNameIfContains(const std::vector<unsigned char>& data, std::string& name, const std::string& macText);
  /// The complete local name as a wide string. Each byte becomes one wide character by sign
  /// extension to 16 bits, so bytes 0x80 to 0xFF become 0xFF80 to 0xFFFF (the name is not decoded).
  /// \param data the advertising-data structures of one advertisement.
  /// \param name cleared, then set to the widened name.
  /// \param macText labels the log lines only.
  /// \return whether the payload holds a complete local name.
  static bool GetNameIfContains(const std::vector<unsigned char>& data, std::wstring& name, const std::string& macText);
  /// The advertised transmit power level.
  /// \param data the advertising-data structures of one advertisement.
  /// \param txPower set to the level in dBm; left alone when there is none.
  /// \param macText labels the log lines only.
  /// \return whether the payload holds a transmit power level.
  static bool GetTXPowerIfContains(const std::vector<unsigned char>& data, signed char& txPower,
                                   const std::string& macText);
};

}  // namespace lumen
