#pragma once

#include <memory>

#include "core/IBluetoothSDK.h"

namespace lumen::Nordic {

// The provider for an nRF52 connectivity board driven through pc-ble-driver
// (SoftDevice API v6). Every slot forwards to the Impl.
class NordicBluetoothSDK final : public details::IBluetoothSDK {
 public:
  class Impl;

  NordicBluetoothSDK();
  ~NordicBluetoothSDK() override;
  NordicBluetoothSDK(const NordicBluetoothSDK&) = delete;
  NordicBluetoothSDK& operator=(const NordicBluetoothSDK&) = delete;

  bool OpenDevice(BluetoothDeviceType type, const std::string& port, uint32_t waitMsec, bool checkFunctional) override;
  bool IsDeviceOpen() override;
  void CloseDevice() override;
  void SetTimeouts(int responseTimeoutMs, int eventTimeoutMs) override;
  void StartScan(bool includeNonConnectable) override;
  void EndProcedure() override;
  bool SupportsContinuousScanning() override;
  std::string GetFirmwareVersion() override;
  void Reset(uint8_t bootToDfu, bool waitForBoot) override;
  void DelayedNonDFUReset(uint32_t delayMs, bool waitForBoot) override;
  void SetTXPower(uint8_t power) override;
  void SetAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data) override;
  void SetAdvertisementParameters(uint16_t interval) override;
  void StartAdvertising() override;
  void StopAdvertising() override;
  void ConnectDirect(details::DeviceConnectionHandle h, const std::vector<TimestampedRSSI>& advertRssi,
                     const Address& address, uint16_t connIntervalMin, uint16_t connIntervalMax,
                     uint16_t supervisionTimeout, uint16_t latency) override;
  void Disconnect(details::DeviceConnectionHandle h) override;
  std::vector<AttGroupItem> GetListOfServices(details::DeviceConnectionHandle h) override;
  std::vector<AttHandleItem> GetListOfCharacteristics(details::DeviceConnectionHandle h, uint16_t startHandle,
                                                      uint16_t endHandle) override;
  std::vector<uint8_t> ReadByHandle(details::DeviceConnectionHandle h, uint16_t attHandle) override;
  std::vector<uint8_t> ReadLong(details::DeviceConnectionHandle h, uint16_t attHandle) override;
  void WriteCommand(details::DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) override;
  void AttributeWrite(details::DeviceConnectionHandle h, uint16_t attHandle,
                      const std::vector<uint8_t>& value) override;
  void SetScanParameters(uint16_t scanInterval, uint16_t scanWindow, uint8_t active) override;
  void SetScanParametersForEstablishingConnections(uint16_t scanInterval, uint16_t scanWindow) override;
  bool GetRSSI(details::DeviceConnectionHandle h, int8_t* rssiOut) override;
  bool IsScanning() override;
  uint8_t GetMaxConnections(uint16_t timeoutMs, bool printConnections) override;
  void SetScanningStateCallback(void (*callback)(bool scanning)) override;
  bool ResetRemovesDevice() override;

  // Test seams: shorten the 35 s connect time-out and the 30 s wait for a
  // disconnection.
  void SetConnectTimeoutMsForTesting(int32_t ms);
  void SetDisconnectWaitMsForTesting(uint32_t ms);
  // And the 2 s given a CONNECTED event that is already on its way.
  void SetConnectedEventWaitMsForTesting(uint32_t ms);

 private:
  std::unique_ptr<Impl> m_impl;
};

}  // namespace lumen::Nordic
