#pragma once

#include <memory>
#include <string>
#include <vector>

namespace lumen {

class BluetoothDevice;

/// Called on the scanner's worker thread once per resolved scan job, with the matching devices in
/// connection order; the job is then done (add it again to look again). Radio calls work here but
/// stall the scanner while they run: prefer handing the devices to a thread of your own. What it
/// throws is logged at WARNING and the other jobs are still reported. The result is ignored. See
/// \ref md_docs_threads "Threads and callbacks".
/// \param jobName the name given to Scanner::AddScanJob().
/// \param devices the devices that serve one of the job's UUIDs.
using ScanCallback = bool (*)(const std::wstring& jobName, std::vector<std::shared_ptr<BluetoothDevice>>& devices);

/// Called on the scanner's worker thread for every processed advertisement, never at the same time
/// as the scan callback. The pointer is the callback's own to keep, move or reset. What it throws
/// is logged at WARNING. The result is ignored. See \ref md_docs_threads "Threads and callbacks".
/// \param device the advertising device.
using AdvCallback = bool (*)(std::shared_ptr<BluetoothDevice>& device);

}  // namespace lumen
