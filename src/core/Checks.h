#pragma once

#include <string>

#include "lumen/Errors.h"

namespace lumen::details {

// Library checks: a failed one throws Error with the general code 0x9001.
template <class Error = KesBluetoothSDKLibError>
void ThrowIfFalse(bool condition, const std::string& message) {
  if (!condition) {
    throw Error(message, kErrorGeneral);
  }
}

template <class Error = KesBluetoothSDKLibError>
void ThrowIfTrue(bool condition, const std::string& message) {
  if (condition) {
    throw Error(message, kErrorGeneral);
  }
}

}  // namespace lumen::details
