// Every exported header, compiled without Boost or the library's sources.
#include <lumen/Address.h>
#include <lumen/AdvDataHelper.h>
#include <lumen/Advertiser.h>
#include <lumen/BGLibError.h>
#include <lumen/BeaconController.h>
#include <lumen/BluegigaCommands.h>
#include <lumen/BluegigaHelper.h>
#include <lumen/BluetoothDevice.h>
#include <lumen/BluetoothDeviceType.h>
#include <lumen/Errors.h>
#include <lumen/GattCharacteristic.h>
#include <lumen/GattService.h>
#include <lumen/Logger.h>
#include <lumen/Lumen.h>
#include <lumen/ProviderTypes.h>
#include <lumen/ScanCallbacks.h>
#include <lumen/Scanner.h>
#include <lumen/Uuid.h>

#include <iostream>

int main() {
  // Library errors thrown inside the shared library are caught here by type.
  try {
    lumen::GetScanner();
    return 1;
  } catch (const lumen::details::KesBluetoothSDKLibError& e) {
    if (std::string(e.what()) != "BluetoothSDK not initialized") {
      return 1;
    }
  }
  std::cout << lumen::Uuid(std::string("0b9db0e5-c5b3-4043-8294-44d8112adc54")).ToString() << '\n';
  return 0;
}
