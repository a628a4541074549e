#include "bluegiga/BluegigaBluetoothSDK.h"
#include "core/ProviderRegistry.h"

namespace lumen::details {

ProviderFactory BuiltInProviderFactory(BluetoothDeviceType type) {
  switch (type) {
    case BLED112Dongle:
    case BLE113:
      return [] { return std::unique_ptr<IBluetoothSDK>(std::make_unique<BluegigaBluetoothSDK>()); };
    default:
      return nullptr;
  }
}

}  // namespace lumen::details
