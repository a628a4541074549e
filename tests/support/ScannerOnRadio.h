#pragma once

#include <chrono>
#include <memory>

#include "core/ConnectionTable.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "scan/ScannerImpl.h"

namespace lumen::testing {

// The application's scanner on the open library, with its own ticks held off
// so that the test ticks it by hand.
inline std::unique_ptr<Scanner> ScannerTickedByHand() {
  auto scanner = GetScanner();
  details::ScannerAccess::ImplOf(*scanner).SetTickIntervalForTesting(std::chrono::hours(24));
  return scanner;
}

// Closes in the order an application must (its scanner, the library, then the
// radio) and lets go of the hardware callbacks and of connections left over.
template <class Radio>
void CloseScannerAndRadio(std::unique_ptr<Scanner>& scanner, std::unique_ptr<Radio>& radio) {
  scanner.reset();
  UnInitialize();
  radio.reset();
  Set_HardwareFailureCallback(nullptr);
  Set_HardwareSoftResetInitiatedCallback(nullptr);
  details::ClearAllConnections();
}

}  // namespace lumen::testing
