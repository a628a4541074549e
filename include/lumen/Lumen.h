#pragma once

#include <cstdint>
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

// Off by default. When on, after the radio goes away (its port is lost, or a
// reset makes the device leave the host) the library waits for the same port
// to open again, reopens it with the type given to Initialize, and puts back
// the scan parameters, scanning, advertising and the beacon. Devices, GATT
// objects and the scanner stay valid: their calls fail at once while the
// radio is away and work again once it is back.
LUMEN_API void SetRadioRecovery(bool enabled);

// Called once the radio is back after it went away, with how long it was away.
// With recovery on, `reopened` is true: the library has reopened it. With
// recovery off, `reopened` is false: the port opens again and the library's
// own reset is over, so the application may call UnInitialize and Initialize
// now (from this callback too). Runs on the library's recovery thread.
LUMEN_API void Set_RadioBackCallback(void (*callback)(bool reopened, uint64_t awayMs));

}  // namespace lumen
