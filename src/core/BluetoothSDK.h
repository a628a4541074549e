#pragma once

#include <memory>

#include "core/IBluetoothSDK.h"

namespace lumen::details {

// The process-wide provider holder. Callers keep the copy they get for one
// operation only, so UnInitialize frees the radio once they return.
std::shared_ptr<IBluetoothSDK> GetBluetoothSDK();
bool IsBluetoothSDKInitialized();
// Takes ownership; throws "BluetoothSDK initialized twice" (and frees sdk) if one is held.
void SetBluetoothSDK(IBluetoothSDK* sdk);
void ReleaseBluetoothSDK();

void NotifyHardwareFailure();
void NotifyHardwareSoftResetInitiated(bool resetRemovesDevice);

}  // namespace lumen::details
