#pragma once

#include <memory>
#include <vector>

#include "lumen/Export.h"
#include "lumen/Uuid.h"

namespace lumen {

/// Advertises an iBeacon frame for each UUID in turn, switching to the next UUID (with a fresh
/// major value) every 3 seconds on a thread of its own. Radio errors are logged, never thrown.
/// A radio the library reopens (SetRadioRecovery()) gets the beacon back. See
/// \ref md_docs_threads "Threads and callbacks" for how long construction and destruction block.
class LUMEN_API BeaconController {
 public:
  class Impl;

  /// Sets the interval and the first frame and starts advertising (three radio commands on the
  /// calling thread), then starts the switching thread. Needs an initialised library.
  /// \param uuids the proximity UUIDs to take turns; 128-bit UUIDs.
  /// \param interval advertising interval in the radio's own units (0.625 ms).
  BeaconController(const std::vector<Uuid>& uuids, unsigned short interval);
  /// Stops advertising (one radio command) and joins the switching thread.
  ~BeaconController();
  BeaconController(const BeaconController&) = delete;
  BeaconController& operator=(const BeaconController&) = delete;

 private:
  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumen
