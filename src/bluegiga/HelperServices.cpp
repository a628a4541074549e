#include "core/BluetoothSDK.h"
#include "lumen/BluegigaHelper.h"

namespace lumen::details::bglib {

std::vector<AttGroupItem> Helper::GetListOfServices(DeviceConnectionHandle h) {
  return GetBluetoothSDK()->GetListOfServices(h);
}

}  // namespace lumen::details::bglib
