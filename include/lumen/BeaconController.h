#pragma once

#include <memory>
#include <vector>

#include "lumen/Export.h"
#include "lumen/Uuid.h"

namespace lumen {

// Advertises an iBeacon frame for each UUID in turn, switching to the next
// UUID (with a fresh major value) every 3 seconds on a thread of its own.
// Radio errors are logged, never thrown; destruction stops advertising and
// joins the thread.
class LUMEN_API BeaconController {
 public:
  class Impl;

  // interval: advertising interval in the radio's own units.
  BeaconController(const std::vector<Uuid>& uuids, unsigned short interval);
  ~BeaconController();
  BeaconController(const BeaconController&) = delete;
  BeaconController& operator=(const BeaconController&) = delete;

 private:
  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumen
