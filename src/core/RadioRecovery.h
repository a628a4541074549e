#pragma once

#include <chrono>
#include <string>

#include "core/IBluetoothSDK.h"
#include "lumen/BluetoothDeviceType.h"

namespace lumen::details {

// Initialize names the radio that recovery brings back; UnInitialize forgets
// it. Both end a recovery under way (and wait for it, unless called from the
// recovery thread, that is from the radio-back callback).
void RememberRadio(const std::string& port, BluetoothDeviceType type);
void ForgetRadio();

// The radio `removed` went away: its port was lost, or a reset made it leave
// the host. Null stands for whichever radio is held now. Returns at once;
// waiting for the port to return runs on the recovery thread. A radio that is
// no longer the one held, or that is already being waited for, is ignored.
// `settle`: a reset still to come (a delayed reset) leaves the port alone
// for that long, so that the radio is not reopened just before it goes.
void NotifyRadioRemoved(const IBluetoothSDK* removed = nullptr,
                        std::chrono::milliseconds settle = std::chrono::milliseconds(0));

bool IsRadioRecoveryEnabled();
// True while recovery waits for the radio to come back.
bool IsRadioAway();

// At process exit: ends the recovery thread and joins it.
void StopRadioRecovery();

}  // namespace lumen::details
