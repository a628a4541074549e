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

  bool OpenDevice(BluetoothDeviceType, const std::string&, uint32_t, bool) override { Refuse("OpenDevice"); }
  bool IsDeviceOpen() override { return false; }
  void CloseDevice() override {}
  void SetTimeouts(int, int) override { Refuse("SetTimeouts"); }
  void StartScan(bool) override { Refuse("StartScan"); }
  void EndProcedure() override { Refuse("EndProcedure"); }
  bool SupportsContinuousScanning() override { return m_supportsContinuousScanning; }
  std::string GetFirmwareVersion() override { Refuse("GetFirmwareVersion"); }
  void Reset(uint8_t, bool) override { Refuse("Reset"); }
  void DelayedNonDFUReset(uint32_t, bool) override { Refuse("DelayedNonDFUReset"); }
  void SetTXPower(uint8_t) override { Refuse("SetTXPower"); }
  void SetAdvertisementData(uint8_t, const std::vector<uint8_t>&) override { Refuse("SetAdvertisementData"); }
  void SetAdvertisementParameters(uint16_t) override { Refuse("SetAdvertisementParameters"); }
  void StartAdvertising() override { Refuse("StartAdvertising"); }
  void StopAdvertising() override { Refuse("StopAdvertising"); }
  void ConnectDirect(DeviceConnectionHandle, const std::vector<TimestampedRSSI>&, const Address&, uint16_t, uint16_t,
                     uint16_t, uint16_t) override {
    Refuse("ConnectDirect");
  }
  // The radio took every link with it: there is nothing left to close.
  void Disconnect(DeviceConnectionHandle /*h*/) override {}
  std::vector<AttGroupItem> GetListOfServices(DeviceConnectionHandle) override { Refuse("GetListOfServices"); }
  std::vector<AttHandleItem> GetListOfCharacteristics(DeviceConnectionHandle, uint16_t, uint16_t) override {
    Refuse("GetListOfCharacteristics");
  }
  std::vector<uint8_t> ReadByHandle(DeviceConnectionHandle, uint16_t) override { Refuse("ReadByHandle"); }
  std::vector<uint8_t> ReadLong(DeviceConnectionHandle, uint16_t) override { Refuse("ReadLong"); }
  void WriteCommand(DeviceConnectionHandle, uint16_t, const std::vector<uint8_t>&) override { Refuse("WriteCommand"); }
  void AttributeWrite(DeviceConnectionHandle, uint16_t, const std::vector<uint8_t>&) override {
    Refuse("AttributeWrite");
  }
  void SetScanParameters(uint16_t, uint16_t, uint8_t) override { Refuse("SetScanParameters"); }
  void SetScanParametersForEstablishingConnections(uint16_t, uint16_t) override {
    Refuse("SetScanParametersForEstablishingConnections");
  }
  bool GetRSSI(DeviceConnectionHandle, int8_t*) override { Refuse("GetRSSI"); }
  bool IsScanning() override { return false; }
  uint8_t GetMaxConnections(uint16_t, bool) override { Refuse("GetMaxConnections"); }
  // Kept by the library and handed to the radio once it is back.
  void SetScanningStateCallback(void (* /*callback*/)(bool scanning)) override {}
  bool ResetRemovesDevice() override { return m_resetRemovesDevice; }

 private:
  // Throws the error every radio operation meets while the radio is away.
  [[noreturn]] static void Refuse(const char* operation);

  const bool m_supportsContinuousScanning;
  const bool m_resetRemovesDevice;
};

}  // namespace lumen::details
