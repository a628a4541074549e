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

// Initialize holds the provider before it has opened the radio. While it
// opens, what the provider reports (for instance whether it scans
// continuously) is not settled yet, so periodic work must not act on it.
bool IsBluetoothSDKOpening();
class BluetoothSDKOpening {
 public:
  BluetoothSDKOpening();
  ~BluetoothSDKOpening();
  BluetoothSDKOpening(const BluetoothSDKOpening&) = delete;
  BluetoothSDKOpening& operator=(const BluetoothSDKOpening&) = delete;
};

void NotifyHardwareFailure();
void NotifyHardwareSoftResetInitiated(bool resetRemovesDevice);

}  // namespace lumen::details
