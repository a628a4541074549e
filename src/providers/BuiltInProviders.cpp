#include "bluegiga/BluegigaBluetoothSDK.h"
#include "core/ProviderRegistry.h"
#include "nordic/NordicBluetoothSDK.h"

namespace lumen::details {

ProviderFactory BuiltInProviderFactory(BluetoothDeviceType type) {
  switch (type) {
    case BLED112Dongle:
    case BLE113:
      return [] { return std::unique_ptr<IBluetoothSDK>(std::make_unique<BluegigaBluetoothSDK>()); };
    case NordicNRF52:
      return [] { return std::unique_ptr<IBluetoothSDK>(std::make_unique<Nordic::NordicBluetoothSDK>()); };
    default:
      return nullptr;
  }
}

}  // namespace lumen::details
