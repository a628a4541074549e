#pragma once

#include <string>

#include "lumen/BluetoothDeviceType.h"
#include "lumen/Export.h"

namespace lumen {

// Opens the radio on `port` (a serial port name), after waiting waitMsec ms
// when non-zero. checkFunctional probes the radio and logs the outcome.
// Returns false when the radio could not be opened; throws for an unknown type.
LUMEN_API bool Initialize(const std::string& port, unsigned long waitMsec, BluetoothDeviceType type,
                          bool checkFunctional);
// Releases the radio and the notification queue. Harmless when not initialised.
LUMEN_API void UnInitialize();

// Called when the radio stops answering or reports a radio error.
LUMEN_API void Set_HardwareFailureCallback(void (*callback)());
// Called before the library resets the radio; the argument tells whether the
// reset makes the device vanish from the host for a while.
LUMEN_API void Set_HardwareSoftResetInitiatedCallback(void (*callback)(bool resetRemovesDevice));

}  // namespace lumen
