#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lumen/Address.h"
#include "lumen/BluetoothDeviceType.h"
#include "lumen/DeviceConnectionHandle.h"
#include "lumen/ProviderTypes.h"

namespace lumen::details {

// The one seam between the radio-independent layers and a radio backend.
// The slot order is part of the contract shared by both backends.
class IBluetoothSDK {
 public:
  virtual ~IBluetoothSDK() = default;

  virtual bool OpenDevice(BluetoothDeviceType type, const std::string& port, uint32_t waitMsec,
                          bool checkFunctional) = 0;
  virtual bool IsDeviceOpen() = 0;
  virtual void CloseDevice() = 0;
  virtual void SetTimeouts(int responseTimeoutMs, int eventTimeoutMs) = 0;
  virtual void StartScan(bool includeNonConnectable) = 0;
  virtual void EndProcedure() = 0;
  virtual bool SupportsContinuousScanning() = 0;
  virtual std::string GetFirmwareVersion() = 0;
  virtual void Reset(uint8_t bootToDfu, bool waitForBoot) = 0;
  virtual void DelayedNonDFUReset(uint32_t delayMs, bool waitForBoot) = 0;
  virtual void SetTXPower(uint8_t power) = 0;
  virtual void SetAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data) = 0;
  virtual void SetAdvertisementParameters(uint16_t interval) = 0;
  virtual void StartAdvertising() = 0;
  virtual void StopAdvertising() = 0;
  virtual void ConnectDirect(DeviceConnectionHandle h, const std::vector<TimestampedRSSI>& advertRssi,
                             const Address& address, uint16_t connIntervalMin, uint16_t connIntervalMax,
                             uint16_t supervisionTimeout, uint16_t latency) = 0;
  virtual void Disconnect(DeviceConnectionHandle h) = 0;
  virtual std::vector<AttGroupItem> GetListOfServices(DeviceConnectionHandle h) = 0;
  virtual std::vector<AttHandleItem> GetListOfCharacteristics(DeviceConnectionHandle h, uint16_t startHandle,
                                                              uint16_t endHandle) = 0;
  virtual std::vector<uint8_t> ReadByHandle(DeviceConnectionHandle h, uint16_t attHandle) = 0;
  virtual std::vector<uint8_t> ReadLong(DeviceConnectionHandle h, uint16_t attHandle) = 0;
  virtual void WriteCommand(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) = 0;
  virtual void AttributeWrite(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) = 0;
  virtual void SetScanParameters(uint16_t scanInterval, uint16_t scanWindow, uint8_t active) = 0;
  virtual void SetScanParametersForEstablishingConnections(uint16_t scanInterval, uint16_t scanWindow) = 0;
  virtual bool GetRSSI(DeviceConnectionHandle h, int8_t* rssiOut) = 0;
  virtual bool IsScanning() = 0;
  virtual uint8_t GetMaxConnections(uint16_t timeoutMs, bool printConnections) = 0;
  virtual void SetScanningStateCallback(void (*callback)(bool scanning)) = 0;
  virtual bool ResetRemovesDevice() = 0;
};

}  // namespace lumen::details
