#pragma once

#include <string>

#include "lumen/Errors.h"
#include "lumen/Export.h"

namespace lumen::details {

/// The error of the Nordic backend: a message and a pc-ble-driver or SoftDevice result code (or
/// one of the library's own codes). what() reads "<message> (Error: <code>) : <0xNNNN name of the
/// code>", or "Unknown error" in place of the name for the general failure 0x9001.
class LUMEN_API NordicLibError : public KesBluetoothSDKLibError {
 public:
  /// \param message what failed.
  /// \param code the driver's or SoftDevice's result code, or one of the library's own.
  NordicLibError(const std::string& message, int code);
};

}  // namespace lumen::details
