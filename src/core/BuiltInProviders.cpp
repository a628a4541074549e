#include "core/ProviderRegistry.h"

namespace lumen::details {

ProviderFactory BuiltInProviderFactory(BluetoothDeviceType /*type*/) { return nullptr; }

}  // namespace lumen::details
