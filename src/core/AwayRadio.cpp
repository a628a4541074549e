#include "core/AwayRadio.h"

#include <string>

#include "lumen/Errors.h"

namespace lumen::details {

void AwayRadio::Refuse(const char* operation) {
  throw KesBluetoothSDKLibError(
      std::string(operation) + " - the radio is away; lumen is waiting for its port to return", kErrorGeneral);
}

}  // namespace lumen::details
