#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumen/Address.h"
#include "lumen/DeviceConnectionHandle.h"
#include "lumen/Export.h"
#include "lumen/ProviderTypes.h"
#include "lumen/Uuid.h"

/// The Bluegiga backend's own types, exported for the library's layers and for tests.
namespace lumen::details::bglib {

struct bd_addr_t;
struct uint8array;

/// Conversions between BGAPI record fields and the library's values.
class LUMEN_API Helper {
 public:
  /// Copies the address bytes in Address::bytes() order.
  /// \param address the address to copy.
  /// \param out receives the six bytes.
  /// \return the address type (0 public, 1 random).
  static uint8_t BgAddrFromAddress(const Address& address, bd_addr_t* out);
  /// \param addr six bytes in over-the-air order.
  /// \param type 0 public, 1 random.
  /// \return the address.
  static Address BgAddrToAddress(const bd_addr_t* addr, uint8_t type);
  /// \param array a BGAPI byte array holding a UUID least significant byte first.
  /// \return the UUID.
  /// \throws KesBluetoothSDKLibError for a null array or a size other than 2, 4 or 16.
  static Uuid BgUuidToUuid(const uint8array* array);
  /// BGAPI sends UUIDs least significant byte first.
  /// \param bytes 2, 4 or 16 bytes.
  /// \return the UUID.
  /// \throws KesBluetoothSDKLibError for any other size.
  static Uuid LittleEndianBytesToUuid(const std::vector<uint8_t>& bytes);
  /// \param bytes 2, 4 or 16 bytes, least significant first.
  /// \param size how many.
  /// \return the UUID.
  /// \throws KesBluetoothSDKLibError for null bytes or a size other than 2, 4 or 16.
  static Uuid LittleEndianBytesToUuid(const uint8_t* bytes, size_t size);
  /// Primary services of a connection, through the current provider (a radio wait on the
  /// calling thread).
  /// \param h the connection.
  /// \return one item per service.
  static std::vector<AttGroupItem> GetListOfServices(DeviceConnectionHandle h);
};

}  // namespace lumen::details::bglib
