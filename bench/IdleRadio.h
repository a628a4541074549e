#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/BluetoothSDK.h"
#include "core/IBluetoothSDK.h"
#include "lumen/Logger.h"
#include "scan/ScannerImpl.h"
#include "support/NullProvider.h"

namespace lumen::details {

// A radio that scans continuously and answers everything at once.
class IdleRadio : public testing::NullProvider {
 public:
  void StartScan(bool) override { m_scanning = true; }
  void EndProcedure() override { m_scanning = false; }
  bool SupportsContinuousScanning() override { return true; }
  bool IsScanning() override { return m_scanning; }
  uint8_t GetMaxConnections(uint16_t, bool) override { return 3; }

 private:
  std::atomic<bool> m_scanning{false};
};

namespace {  // Scanner::Impl is hidden in the library; so is this, in each bench

// A scanner on an idle radio, scanning, with logging off and the scanner's own
// ticks held off so that only the advertisements cost time.
class IdleScan {
 public:
  IdleScan() {
    scanner.SetTickIntervalForTesting(std::chrono::hours(24));
    scanner.StartLeScan();
  }

 private:
  struct InPlace {  // before the scanner, and released after it
    InPlace() {
      Logger::SetLogCallback(nullptr);
      SetBluetoothSDK(new IdleRadio);
    }
    ~InPlace() { ReleaseBluetoothSDK(); }
    InPlace(const InPlace&) = delete;
    InPlace& operator=(const InPlace&) = delete;
  } m_radio;

 public:
  Scanner::Impl scanner;
};

}  // namespace

}  // namespace lumen::details
