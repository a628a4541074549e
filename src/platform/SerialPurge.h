#pragma once

namespace lumen::details {

#if defined(_WIN32)
using NativeSerialHandle = void*;
#else
using NativeSerialHandle = int;
#endif

// Discards what the driver holds of the receive side of a serial port.
// Returns false if the OS refused.
bool PurgeReceiveBuffer(NativeSerialHandle handle);

}  // namespace lumen::details
