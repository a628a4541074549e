#pragma once

#include "core/IBluetoothSDK.h"

namespace lumen::details {

// Stands in for a radio that went away while the library waits for it to come
// back: every radio operation fails at once with an error saying so, rather
// than each waiting out its time-out on a dead port.
class AwayRadio final : public IBluetoothSDK {
 public:
  AwayRadio(bool supportsContinuousScanning, bool resetRemovesDevice)
      : m_supportsContinuousScanning(supportsContinuousScanning), m_resetRemovesDevice(resetRemovesDevice) {}

  bool OpenDevice(BluetoothDeviceType type, const std::string& port, uint32_t waitMsec, bool checkFunctional) override;
  bool IsDeviceOpen() override { return false; }
  void CloseDevice() override {}
  void SetTimeouts(int responseTimeoutMs, int eventTimeoutMs) override;
  void StartScan(bool includeNonConnectable) override;
  void EndProcedure() override;
  bool SupportsContinuousScanning() override { return m_supportsContinuousScanning; }
  std::string GetFirmwareVersion() override;
  void Reset(uint8_t bootToDfu, bool waitForBoot) override;
  void DelayedNonDFUReset(uint32_t delayMs, bool waitForBoot) override;
  void SetTXPower(uint8_t power) override;
  void SetAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data) override;
  void SetAdvertisementParameters(uint16_t interval) override;
  void StartAdvertising() override;
  void StopAdvertising() override;
  void ConnectDirect(DeviceConnectionHandle h, const std::vector<TimestampedRSSI>& advertRssi, const Address& address,
                     uint16_t connIntervalMin, uint16_t connIntervalMax, uint16_t supervisionTimeout,
                     uint16_t latency) override;
  // The radio took every link with it: there is nothing left to close.
  void Disconnect(DeviceConnectionHandle /*h*/) override {}
  std::vector<AttGroupItem> GetListOfServices(DeviceConnectionHandle h) override;
  std::vector<AttHandleItem> GetListOfCharacteristics(DeviceConnectionHandle h, uint16_t startHandle,
                                                      uint16_t endHandle) override;
  std::vector<uint8_t> ReadByHandle(DeviceConnectionHandle h, uint16_t attHandle) override;
  std::vector<uint8_t> ReadLong(DeviceConnectionHandle h, uint16_t attHandle) override;
  void WriteCommand(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) override;
  void AttributeWrite(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) override;
  void SetScanParameters(uint16_t scanInterval, uint16_t scanWindow, uint8_t active) override;
  void SetScanParametersForEstablishingConnections(uint16_t scanInterval, uint16_t scanWindow) override;
  bool GetRSSI(DeviceConnectionHandle h, int8_t* rssiOut) override;
  bool IsScanning() override { return false; }
  uint8_t GetMaxConnections(uint16_t timeoutMs, bool printConnections) override;
  // Kept by the library and handed to the radio once it is back.
  void SetScanningStateCallback(void (* /*callback*/)(bool scanning)) override {}
  bool ResetRemovesDevice() override { return m_resetRemovesDevice; }

 private:
  const bool m_supportsContinuousScanning;
  const bool m_resetRemovesDevice;
};

}  // namespace lumen::details
