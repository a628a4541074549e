#include "nordic/NordicBluetoothSDK.h"

#include "core/Log.h"
#include "nordic/NordicImpl.h"

namespace lumen::Nordic {

NordicBluetoothSDK::NordicBluetoothSDK() : m_impl(std::make_unique<Impl>()) {}

NordicBluetoothSDK::~NordicBluetoothSDK() {
  details::Log(details::kInfo, "NordicBluetoothSDK::~NordicBluetoothSDK");
  m_impl.reset();
}

bool NordicBluetoothSDK::OpenDevice(BluetoothDeviceType type, const std::string& port, uint32_t waitMsec,
                                    bool checkFunctional) {
  return m_impl->OpenDevice(type, port, waitMsec, checkFunctional);
}

bool NordicBluetoothSDK::IsDeviceOpen() { return m_impl->IsDeviceOpen(); }

void NordicBluetoothSDK::CloseDevice() { m_impl->CloseDevice(); }

void NordicBluetoothSDK::SetTimeouts(int responseTimeoutMs, int eventTimeoutMs) {
  m_impl->SetTimeouts(responseTimeoutMs, eventTimeoutMs);
}

void NordicBluetoothSDK::StartScan(bool includeNonConnectable) { m_impl->StartScan(includeNonConnectable); }

void NordicBluetoothSDK::EndProcedure() { m_impl->EndProcedure(); }

bool NordicBluetoothSDK::SupportsContinuousScanning() { return m_impl->SupportsContinuousScanning(); }

std::string NordicBluetoothSDK::GetFirmwareVersion() { return m_impl->GetFirmwareVersion(); }

void NordicBluetoothSDK::Reset(uint8_t bootToDfu, bool waitForBoot) { m_impl->Reset(bootToDfu, waitForBoot); }

void NordicBluetoothSDK::DelayedNonDFUReset(uint32_t delayMs, bool waitForBoot) {
  m_impl->DelayedNonDFUReset(delayMs, waitForBoot);
}

void NordicBluetoothSDK::SetTXPower(uint8_t power) { m_impl->SetTXPower(power); }

void NordicBluetoothSDK::SetAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data) {
  m_impl->SetAdvertisementData(setScanResponse, data);
}

void NordicBluetoothSDK::SetAdvertisementParameters(uint16_t interval) { m_impl->SetAdvertisementParameters(interval); }

void NordicBluetoothSDK::StartAdvertising() { m_impl->StartAdvertising(); }

void NordicBluetoothSDK::StopAdvertising() { m_impl->StopAdvertising(); }

void NordicBluetoothSDK::ConnectDirect(details::DeviceConnectionHandle h,
                                       const std::vector<TimestampedRSSI>& advertRssi, const Address& address,
                                       uint16_t connIntervalMin, uint16_t connIntervalMax, uint16_t supervisionTimeout,
                                       uint16_t latency) {
  m_impl->ConnectDirect(h, advertRssi, address, connIntervalMin, connIntervalMax, supervisionTimeout, latency);
}

void NordicBluetoothSDK::Disconnect(details::DeviceConnectionHandle h) { m_impl->Disconnect(h); }

std::vector<AttGroupItem> NordicBluetoothSDK::GetListOfServices(details::DeviceConnectionHandle h) {
  return m_impl->GetListOfServices(h);
}

std::vector<AttHandleItem> NordicBluetoothSDK::GetListOfCharacteristics(details::DeviceConnectionHandle h,
                                                                        uint16_t startHandle, uint16_t endHandle) {
  return m_impl->GetListOfCharacteristics(h, startHandle, endHandle);
}

std::vector<uint8_t> NordicBluetoothSDK::ReadByHandle(details::DeviceConnectionHandle h, uint16_t attHandle) {
  return m_impl->ReadByHandle(h, attHandle);
}

std::vector<uint8_t> NordicBluetoothSDK::ReadLong(details::DeviceConnectionHandle h, uint16_t attHandle) {
  return m_impl->ReadLong(h, attHandle);
}

void NordicBluetoothSDK::WriteCommand(details::DeviceConnectionHandle h, uint16_t attHandle,
                                      const std::vector<uint8_t>& value) {
  m_impl->WriteCommand(h, attHandle, value);
}

void NordicBluetoothSDK::AttributeWrite(details::DeviceConnectionHandle h, uint16_t attHandle,
                                        const std::vector<uint8_t>& value) {
  m_impl->AttributeWrite(h, attHandle, value);
}

void NordicBluetoothSDK::SetScanParameters(uint16_t scanInterval, uint16_t scanWindow, uint8_t active) {
  m_impl->SetScanParameters(scanInterval, scanWindow, active);
}

void NordicBluetoothSDK::SetScanParametersForEstablishingConnections(uint16_t scanInterval, uint16_t scanWindow) {
  m_impl->SetScanParametersForEstablishingConnections(scanInterval, scanWindow);
}

bool NordicBluetoothSDK::GetRSSI(details::DeviceConnectionHandle h, int8_t* rssiOut) {
  return m_impl->GetRSSI(h, rssiOut);
}

bool NordicBluetoothSDK::IsScanning() { return m_impl->IsScanning(); }

uint8_t NordicBluetoothSDK::GetMaxConnections(uint16_t timeoutMs, bool printConnections) {
  return m_impl->GetMaxConnections(timeoutMs, printConnections);
}

void NordicBluetoothSDK::SetScanningStateCallback(void (*callback)(bool scanning)) {
  m_impl->SetScanningStateCallback(callback);
}

bool NordicBluetoothSDK::ResetRemovesDevice() { return m_impl->ResetRemovesDevice(); }

void NordicBluetoothSDK::SetConnectTimeoutMsForTesting(int32_t ms) { m_impl->SetConnectTimeoutMs(ms); }

void NordicBluetoothSDK::SetDisconnectWaitMsForTesting(uint32_t ms) { m_impl->SetDisconnectWaitMs(ms); }

void NordicBluetoothSDK::SetConnectedEventWaitMsForTesting(uint32_t ms) { m_impl->SetConnectedEventWaitMs(ms); }

}  // namespace lumen::Nordic
