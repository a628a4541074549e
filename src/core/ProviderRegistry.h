#pragma once

#include <memory>

#include "core/IBluetoothSDK.h"

namespace lumen::details {

// Maps a radio type to the constructor of its backend. Backends register
// themselves; tests install their own providers through the same seam.
using ProviderFactory = std::unique_ptr<IBluetoothSDK> (*)();

// Null restores the built-in backend.
void SetProviderFactory(BluetoothDeviceType type, ProviderFactory factory);
// Null when no backend is built in for the type.
ProviderFactory GetProviderFactory(BluetoothDeviceType type);

// The backends compiled into this library.
ProviderFactory BuiltInProviderFactory(BluetoothDeviceType type);

}  // namespace lumen::details
