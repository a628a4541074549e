#pragma once

#include <boost/core/noncopyable.hpp>
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
// The provider held now, or null; for library threads outside any bus handler.
std::shared_ptr<IBluetoothSDK> PeekBluetoothSDK();
// Which provider is held now, for comparison only: no reference is taken, so
// a backend thread asking never ends up destroying its own provider.
const IBluetoothSDK* HeldBluetoothSDK();
// Puts `replacement` in the place of `expected` and returns `expected`'s
// holder, or null (leaving everything as it was) when `expected` is no longer
// the provider held: the application released or replaced it meanwhile.
std::shared_ptr<IBluetoothSDK> ReplaceBluetoothSDK(const IBluetoothSDK* expected,
                                                   std::shared_ptr<IBluetoothSDK> replacement);

// Initialize holds the provider before it has opened the radio. While it
// opens, what the provider reports (for instance whether it scans
// continuously) is not settled yet, so periodic work must not act on it.
bool IsBluetoothSDKOpening();
class BluetoothSDKOpening : private boost::noncopyable {
 public:
  BluetoothSDKOpening();
  ~BluetoothSDKOpening();
};

void NotifyHardwareFailure();
void NotifyHardwareSoftResetInitiated(bool resetRemovesDevice);

}  // namespace lumen::details
