#pragma once

#include <memory>
#include <set>
#include <string>

#include "lumen/Export.h"
#include "lumen/ScanCallbacks.h"
#include "lumen/Uuid.h"

namespace lumen {

namespace details {
class ScannerAccess;
}

// Finds devices for named scan jobs. Advertisements are processed, and jobs
// resolved once a second, on the scanner's own worker thread, which also
// runs both callbacks. A radio silent for 10 seconds is told to scan again;
// one silent for 300 seconds is reset (see Set_HardwareSoftResetInitiatedCallback).
// Requires an initialised library.
class LUMEN_API Scanner {
 public:
  class Impl;

  Scanner();
  // Stops the tick and waits for the worker to finish what it is running
  // (a callback, a connection attempt). From one of the scanner's own
  // callbacks it returns at once: no further callback starts, and the worker
  // is stopped on another thread once the callback has returned.
  ~Scanner();
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // Both only queue the change for the worker. A job of the same name is replaced.
  void AddScanJob(const std::wstring& name, const std::set<Uuid>& uuids);
  void CancelScanJob(const std::wstring& name);

  void SetScanCallback(ScanCallback callback);
  void SetAdvCallback(AdvCallback callback);
  // How long an unconnected device that stopped advertising stays known (ms).
  void SetScanCacheTimeout(unsigned int timeoutMs);
  // Takes effect at the next start of scanning.
  void SetScanForNonConnectableDevices(bool scanForNonConnectable);
  // Passive scanning; interval and window in the radio's units.
  void SetScanParameters(unsigned short interval, unsigned short window);
  void SetScanParametersForEstablishingConnections(unsigned short interval, unsigned short window);

  void StartLeScan();
  // Stays stopped, whatever jobs or ticks ask for, until StartLeScan.
  void StopLeScan();
  // Whether the radio is open; false when the library is not initialised.
  bool IsConnected();

 private:
  friend class details::ScannerAccess;

  std::unique_ptr<Impl> m_impl;
};

LUMEN_API std::unique_ptr<Scanner> GetScanner();

}  // namespace lumen
