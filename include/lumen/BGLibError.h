#pragma once

#include <string>

#include "lumen/Errors.h"
#include "lumen/Export.h"

namespace lumen::details {

/// The error of the Bluegiga backend: a message and a BGAPI result code (or one of the library's
/// own codes, kErrorGeneral and the like). what() reads
/// "<message> (Error: <code as uint16>) : <text of the code>".
class LUMEN_API BGLibError : public KesBluetoothSDKLibError {
 public:
  /// \param message what failed, usually the command's name.
  /// \param code the BGAPI result code, or one of the library's own.
  BGLibError(const std::string& message, int code);

  /// The text of a BGAPI result code, compared as 16 bits.
  /// \param code a BGAPI result code.
  /// \return a static text; "Unknown error" for codes without one.
  static const char* CodeText(int code);
};

}  // namespace lumen::details
