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

/// Finds devices for named scan jobs, each a set of service UUIDs. Advertisements are processed,
/// and jobs resolved once a second, on the scanner's own worker thread, which also runs both
/// callbacks. A job is resolved by the devices that advertise one of its UUIDs or, when none
/// does, by connecting to nearby devices that advertise no UUID (phones in the background) and
/// reading their services. A radio silent for 10 seconds is told to scan again; one silent for
/// 300 seconds is reset (see Set_HardwareSoftResetInitiatedCallback()). See
/// \ref md_docs_threads "Threads and callbacks" for the callbacks' rules and what blocks.
class LUMEN_API Scanner {
 public:
  class Impl;

  /// Starts the worker thread. Requires an initialised library.
  /// \throws details::KesBluetoothSDKLibError "BluetoothSDK not initialized" otherwise.
  Scanner();
  /// Stops the tick and waits for the worker to finish what it is running (a callback, a
  /// connection attempt). From one of the scanner's own callbacks it returns at once: no further
  /// callback starts, and the worker is stopped on another thread once the callback has returned.
  ~Scanner();
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  /// Adds a job and starts scanning if needed. Only queues the change for the worker; safe from
  /// the scanner's callbacks.
  /// \param name the job's name, reported to the ScanCallback; a job of the same name is replaced.
  /// \param uuids the service UUIDs any of which identifies a device for the job.
  void AddScanJob(const std::wstring& name, const std::set<Uuid>& uuids);
  /// Removes a job, stopping the scan when nothing else calls for one. Only queues the change.
  /// \param name the job's name; an unknown name is no error.
  void CancelScanJob(const std::wstring& name);

  /// \param callback receives each resolved job on the worker thread; null for none.
  void SetScanCallback(ScanCallback callback);
  /// \param callback receives each processed advertisement on the worker thread; null for none.
  void SetAdvCallback(AdvCallback callback);
  /// \param timeoutMs how long an unconnected device that stopped advertising stays known, in
  ///        milliseconds (15 minutes by default).
  void SetScanCacheTimeout(unsigned int timeoutMs);
  /// Takes effect at the next start of scanning.
  /// \param scanForNonConnectable also report devices whose advertisements are not connectable.
  void SetScanForNonConnectableDevices(bool scanForNonConnectable);
  /// Sets passive scanning's timing (a radio command on the calling thread); remembered for a
  /// radio the library reopens.
  /// \param interval scan interval in the radio's units (0.625 ms).
  /// \param window scan window in the radio's units (0.625 ms).
  void SetScanParameters(unsigned short interval, unsigned short window);
  /// Sets the scan timing used while establishing connections; remembered like SetScanParameters().
  /// \param interval scan interval in the radio's units (0.625 ms).
  /// \param window scan window in the radio's units (0.625 ms).
  void SetScanParametersForEstablishingConnections(unsigned short interval, unsigned short window);

  /// Lifts a StopLeScan() and starts scanning when jobs, open connections or the radio call for it
  /// (one or two radio commands on the calling thread).
  void StartLeScan();
  /// Stops scanning. Stays stopped, whatever jobs or ticks ask for, until StartLeScan().
  void StopLeScan();
  /// \return whether the radio is open; false when the library is not initialised.
  bool IsConnected();

 private:
  friend class details::ScannerAccess;

  std::unique_ptr<Impl> m_impl;
};

/// \return a new Scanner (see Scanner::Scanner()).
LUMEN_API std::unique_ptr<Scanner> GetScanner();

}  // namespace lumen
