#pragma once

#include <memory>
#include <string>
#include <vector>

namespace lumen {

class BluetoothDevice;

// Called on the scanner's worker thread when a scan job is resolved, with the
// matching devices in connection order. The result is ignored.
using ScanCallback = bool (*)(const std::wstring& jobName, std::vector<std::shared_ptr<BluetoothDevice>>& devices);

// Called on the scanner's worker thread for every processed advertisement.
// The result is ignored.
using AdvCallback = bool (*)(std::shared_ptr<BluetoothDevice>& device);

}  // namespace lumen
