#pragma once

#include <string>

#include "lumen/Errors.h"
#include "lumen/Export.h"

namespace lumen::details {

// The error of the Bluegiga backend: a message and a BGAPI result code (or
// one of the library's own codes). what() reads
// "<message> (Error: <code as uint16>) : <text of the code>".
class LUMEN_API BGLibError : public KesBluetoothSDKLibError {
 public:
  BGLibError(const std::string& message, int code);

  // The text of a BGAPI result code, compared as 16 bits; "Unknown error" for
  // codes without one.
  static const char* CodeText(int code);
};

}  // namespace lumen::details
