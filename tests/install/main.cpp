// Every exported header, compiled without the library's sources (only
// AdvDataParser.h needs Boost's headers). On Windows <windows.h> comes first,
// without NOGDI, as many applications have it: its ERROR macro must not break
// the headers.
#if defined(_WIN32)
#include <windows.h>
#endif

#include <lumen/Address.h>
#include <lumen/AdvDataHelper.h>
#include <lumen/AdvDataParser.h>
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
#include <lumen/RadioHealth.h>
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
  // The parser is exported with the helper: a 16-bit UUID list, then a name.
  const auto items = lumen::details::AdvDataParser::Parse({0x03, 0x03, 0x0D, 0x18, 0x03, 0x09, 'h', 'r'}, "test");
  if (items.size() != 2 || boost::get<std::string>(items.at(lumen::details::AdvDataParser::LocalName)) != "hr") {
    return 1;
  }
  // The health snapshot is exported and answers without a radio.
  if (lumen::GetRadioHealth().commandsSent != 0) {
    return 1;
  }
  std::cout << lumen::Uuid(std::string("0b9db0e5-c5b3-4043-8294-44d8112adc54")).ToString() << '\n';
  return 0;
}
