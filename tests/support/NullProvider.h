#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/IBluetoothSDK.h"

namespace lumen::testing {

// A radio that opens and then does nothing: no scanning, no connections, empty
// answers. The fakes derive from it and override only the calls their tests
// look at. No pseudo-terminal and no POSIX, so every suite can use it.
class NullProvider : public details::IBluetoothSDK {
 public:
  bool OpenDevice(BluetoothDeviceType, const std::string&, uint32_t, bool) override { return true; }
  bool IsDeviceOpen() override { return true; }
  void CloseDevice() override {}
  void SetTimeouts(int, int) override {}
  void StartScan(bool) override {}
  void EndProcedure() override {}
  bool SupportsContinuousScanning() override { return false; }
  std::string GetFirmwareVersion() override { return {}; }
  void Reset(uint8_t, bool) override {}
  void DelayedNonDFUReset(uint32_t, bool) override {}
  void SetTXPower(uint8_t) override {}
  void SetAdvertisementData(uint8_t, const std::vector<uint8_t>&) override {}
  void SetAdvertisementParameters(uint16_t) override {}
  void StartAdvertising() override {}
  void StopAdvertising() override {}
  void ConnectDirect(details::DeviceConnectionHandle, const std::vector<TimestampedRSSI>&, const Address&, uint16_t,
                     uint16_t, uint16_t, uint16_t) override {}
  void Disconnect(details::DeviceConnectionHandle) override {}
  std::vector<AttGroupItem> GetListOfServices(details::DeviceConnectionHandle) override { return {}; }
  std::vector<AttHandleItem> GetListOfCharacteristics(details::DeviceConnectionHandle, uint16_t, uint16_t) override {
    return {};
  }
  std::vector<uint8_t> ReadByHandle(details::DeviceConnectionHandle, uint16_t) override { return {}; }
  std::vector<uint8_t> ReadLong(details::DeviceConnectionHandle, uint16_t) override { return {}; }
  void WriteCommand(details::DeviceConnectionHandle, uint16_t, const std::vector<uint8_t>&) override {}
  void AttributeWrite(details::DeviceConnectionHandle, uint16_t, const std::vector<uint8_t>&) override {}
  void SetScanParameters(uint16_t, uint16_t, uint8_t) override {}
  void SetScanParametersForEstablishingConnections(uint16_t, uint16_t) override {}
  bool GetRSSI(details::DeviceConnectionHandle, int8_t*) override { return false; }
  bool IsScanning() override { return false; }
  uint8_t GetMaxConnections(uint16_t, bool) override { return 0; }
  void SetScanningStateCallback(void (*)(bool)) override {}
  bool ResetRemovesDevice() override { return false; }
};

}  // namespace lumen::testing
