#pragma once

#include <cstdint>
#include <vector>

#include "lumen/DeviceConnectionHandle.h"

namespace lumen::details {

// Throws "handle(+N) not connected" when h has no native binding.
uint32_t GetNativeHandle(DeviceConnectionHandle h);
void RemoveConnection(DeviceConnectionHandle h);
// Moves oldHandle's binding to newHandle (a device that changed its address).
void TakeOverConnection(DeviceConnectionHandle newHandle, DeviceConnectionHandle oldHandle);
void ClearAllConnections();
bool AnyConnectionOpen();
// The native handles of every open connection, in identifier order.
std::vector<uint32_t> OpenNativeHandles();

}  // namespace lumen::details
