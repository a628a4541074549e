#pragma once

#include <atomic>
#include <memory>

#include "bluegiga/BGCalls.h"
#include "core/IBluetoothSDK.h"

namespace lumen::details {

class LinkReconciler;
class SerialThread;

// The provider for BLED112 dongles and BLE113 modules: opens the serial
// transport, probes the radio, reads its firmware, and forwards each slot
// to the blocking BGAPI calls.
class BluegigaBluetoothSDK final : public IBluetoothSDK {
 public:
  BluegigaBluetoothSDK();
  ~BluegigaBluetoothSDK() override;

  bool OpenDevice(BluetoothDeviceType type, const std::string& port, uint32_t waitMsec, bool checkFunctional) override;
  bool IsDeviceOpen() override;
  void CloseDevice() override;
  void SetTimeouts(int responseTimeoutMs, int eventTimeoutMs) override {
    BGCalls::SetTimeouts(responseTimeoutMs, eventTimeoutMs);
  }
  void StartScan(bool includeNonConnectable) override;
  void EndProcedure() override { BGCalls::EndProcedure(); }
  bool SupportsContinuousScanning() override { return m_supportsContinuousScanning; }
  std::string GetFirmwareVersion() override;
  void Reset(uint8_t bootToDfu, bool waitForBoot) override { BGCalls::Reset(bootToDfu, waitForBoot); }
  void DelayedNonDFUReset(uint32_t delayMs, bool waitForBoot) override;
  void SetTXPower(uint8_t power) override { BGCalls::SetTxPower(power); }
  void SetAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data) override;
  void SetAdvertisementParameters(uint16_t interval) override;
  void StartAdvertising() override;
  void StopAdvertising() override { BGCalls::SetMode(BGCalls::kNonDiscoverable, BGCalls::kNonConnectable); }
  void ConnectDirect(DeviceConnectionHandle h, const std::vector<TimestampedRSSI>& /*advertRssi*/,
                     const Address& address, uint16_t connIntervalMin, uint16_t connIntervalMax,
                     uint16_t supervisionTimeout, uint16_t latency) override {
    BGCalls::ConnectDirect(h, address, connIntervalMin, connIntervalMax, supervisionTimeout, latency);
  }
  void Disconnect(DeviceConnectionHandle h) override { BGCalls::Disconnect(h); }
  std::vector<AttGroupItem> GetListOfServices(DeviceConnectionHandle h) override;
  std::vector<AttHandleItem> GetListOfCharacteristics(DeviceConnectionHandle h, uint16_t startHandle,
                                                      uint16_t endHandle) override;
  std::vector<uint8_t> ReadByHandle(DeviceConnectionHandle h, uint16_t attHandle) override {
    return BGCalls::ReadByHandle(h, attHandle);
  }
  std::vector<uint8_t> ReadLong(DeviceConnectionHandle h, uint16_t attHandle) override {
    return BGCalls::ReadLong(h, attHandle);
  }
  void WriteCommand(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) override {
    BGCalls::WriteCommand(h, attHandle, value);
  }
  void AttributeWrite(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) override {
    BGCalls::AttributeWrite(h, attHandle, value);
  }
  void SetScanParameters(uint16_t scanInterval, uint16_t scanWindow, uint8_t active) override {
    BGCalls::SetScanParameters(scanInterval, scanWindow, active);
  }
  void SetScanParametersForEstablishingConnections(uint16_t scanInterval, uint16_t scanWindow) override;
  bool GetRSSI(DeviceConnectionHandle h, int8_t* rssiOut) override { return BGCalls::GetRSSI(h, rssiOut); }
  bool IsScanning() override { return BGCalls::IsScanning(); }
  uint8_t GetMaxConnections(uint16_t timeoutMs, bool printConnections) override {
    return BGCalls::GetMaxConnections(timeoutMs, printConnections);
  }
  void SetScanningStateCallback(void (*callback)(bool scanning)) override {
    BGCalls::SetScanningStateCallback(callback);
  }
  bool ResetRemovesDevice() override { return m_deviceType == BLED112Dongle; }

  // Folds a find-information list into one item per characteristic: the
  // value handle and UUID that follow each 0x2803 declaration.
  static std::vector<AttHandleItem> GroupCharacteristics(const std::vector<AttHandleItem>& items);

 private:
  bool CheckDeviceFunctional();

  std::shared_ptr<SerialThread> m_serial;
  std::unique_ptr<LinkReconciler> m_reconciler;
  bool m_versionKnown = false;
  FirmwareInfo m_firmware;
  bool m_supportsInitiatingConParameters = false;
  bool m_supportsAdvertisingData = false;
  bool m_supportsDelayedReset = false;
  std::atomic<bool> m_supportsContinuousScanning{false};  // read by scanner ticks
  BluetoothDeviceType m_deviceType = Unknown;
};

}  // namespace lumen::details
