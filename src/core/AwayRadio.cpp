#include "core/AwayRadio.h"

#include <string>

#include "lumen/Errors.h"

namespace lumen::details {
namespace {

[[noreturn]] void Refuse(const char* operation) {
  throw KesBluetoothSDKLibError(
      std::string(operation) + " - the radio is away; lumen is waiting for its port to return", kErrorGeneral);
}

}  // namespace

bool AwayRadio::OpenDevice(BluetoothDeviceType, const std::string&, uint32_t, bool) { Refuse("OpenDevice"); }
void AwayRadio::SetTimeouts(int, int) { Refuse("SetTimeouts"); }
void AwayRadio::StartScan(bool) { Refuse("StartScan"); }
void AwayRadio::EndProcedure() { Refuse("EndProcedure"); }
std::string AwayRadio::GetFirmwareVersion() { Refuse("GetFirmwareVersion"); }
void AwayRadio::Reset(uint8_t, bool) { Refuse("Reset"); }
void AwayRadio::DelayedNonDFUReset(uint32_t, bool) { Refuse("DelayedNonDFUReset"); }
void AwayRadio::SetTXPower(uint8_t) { Refuse("SetTXPower"); }
void AwayRadio::SetAdvertisementData(uint8_t, const std::vector<uint8_t>&) { Refuse("SetAdvertisementData"); }
void AwayRadio::SetAdvertisementParameters(uint16_t) { Refuse("SetAdvertisementParameters"); }
void AwayRadio::StartAdvertising() { Refuse("StartAdvertising"); }
void AwayRadio::StopAdvertising() { Refuse("StopAdvertising"); }
void AwayRadio::ConnectDirect(DeviceConnectionHandle, const std::vector<TimestampedRSSI>&, const Address&, uint16_t,
                              uint16_t, uint16_t, uint16_t) {
  Refuse("ConnectDirect");
}
std::vector<AttGroupItem> AwayRadio::GetListOfServices(DeviceConnectionHandle) { Refuse("GetListOfServices"); }
std::vector<AttHandleItem> AwayRadio::GetListOfCharacteristics(DeviceConnectionHandle, uint16_t, uint16_t) {
  Refuse("GetListOfCharacteristics");
}
std::vector<uint8_t> AwayRadio::ReadByHandle(DeviceConnectionHandle, uint16_t) { Refuse("ReadByHandle"); }
std::vector<uint8_t> AwayRadio::ReadLong(DeviceConnectionHandle, uint16_t) { Refuse("ReadLong"); }
void AwayRadio::WriteCommand(DeviceConnectionHandle, uint16_t, const std::vector<uint8_t>&) { Refuse("WriteCommand"); }
void AwayRadio::AttributeWrite(DeviceConnectionHandle, uint16_t, const std::vector<uint8_t>&) {
  Refuse("AttributeWrite");
}
void AwayRadio::SetScanParameters(uint16_t, uint16_t, uint8_t) { Refuse("SetScanParameters"); }
void AwayRadio::SetScanParametersForEstablishingConnections(uint16_t, uint16_t) {
  Refuse("SetScanParametersForEstablishingConnections");
}
bool AwayRadio::GetRSSI(DeviceConnectionHandle, int8_t*) { Refuse("GetRSSI"); }
uint8_t AwayRadio::GetMaxConnections(uint16_t, bool) { Refuse("GetMaxConnections"); }

}  // namespace lumen::details
