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

namespace lumen::details {

// A radio that scans continuously and answers everything at once.
class IdleRadio : public IBluetoothSDK {
 public:
  bool OpenDevice(BluetoothDeviceType, const std::string&, uint32_t, bool) override { return true; }
  bool IsDeviceOpen() override { return true; }
  void CloseDevice() override {}
  void SetTimeouts(int, int) override {}
  void StartScan(bool) override { m_scanning = true; }
  void EndProcedure() override { m_scanning = false; }
  bool SupportsContinuousScanning() override { return true; }
  std::string GetFirmwareVersion() override { return {}; }
  void Reset(uint8_t, bool) override {}
  void DelayedNonDFUReset(uint32_t, bool) override {}
  void SetTXPower(uint8_t) override {}
  void SetAdvertisementData(uint8_t, const std::vector<uint8_t>&) override {}
  void SetAdvertisementParameters(uint16_t) override {}
  void StartAdvertising() override {}
  void StopAdvertising() override {}
  void ConnectDirect(DeviceConnectionHandle, const std::vector<TimestampedRSSI>&, const Address&, uint16_t, uint16_t,
                     uint16_t, uint16_t) override {}
  void Disconnect(DeviceConnectionHandle) override {}
  std::vector<AttGroupItem> GetListOfServices(DeviceConnectionHandle) override { return {}; }
  std::vector<AttHandleItem> GetListOfCharacteristics(DeviceConnectionHandle, uint16_t, uint16_t) override {
    return {};
  }
  std::vector<uint8_t> ReadByHandle(DeviceConnectionHandle, uint16_t) override { return {}; }
  std::vector<uint8_t> ReadLong(DeviceConnectionHandle, uint16_t) override { return {}; }
  void WriteCommand(DeviceConnectionHandle, uint16_t, const std::vector<uint8_t>&) override {}
  void AttributeWrite(DeviceConnectionHandle, uint16_t, const std::vector<uint8_t>&) override {}
  void SetScanParameters(uint16_t, uint16_t, uint8_t) override {}
  void SetScanParametersForEstablishingConnections(uint16_t, uint16_t) override {}
  bool GetRSSI(DeviceConnectionHandle, int8_t*) override { return false; }
  bool IsScanning() override { return m_scanning; }
  uint8_t GetMaxConnections(uint16_t, bool) override { return 3; }
  void SetScanningStateCallback(void (*)(bool)) override {}
  bool ResetRemovesDevice() override { return false; }

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
