#pragma once

#include <cstddef>

#include "platform/SerialPurge.h"

namespace lumen::details {

// Bytes the driver holds for reading right now; 0 when it cannot tell.
size_t SerialBytesAvailable(NativeSerialHandle handle);

}  // namespace lumen::details
