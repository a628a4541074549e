#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "lumen/Address.h"
#include "lumen/DeviceConnectionHandle.h"
#include "lumen/ProviderTypes.h"
#include "lumen/Uuid.h"

namespace lumen::details {

struct FirmwareInfo {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint16_t patch = 0;
  uint16_t build = 0;
  uint16_t llVersion = 0;
  uint8_t protocolVersion = 0;
  uint8_t hardware = 0;
  uint8_t maxConnections = 0;
};

// Blocking BGAPI calls: each sends one command and waits for its response
// and, for procedures, for the event that ends them. All throw BGLibError.
namespace BGCalls {

// Values of 0 or less become 30000 ms.
void SetTimeouts(int responseMs, int eventMs);
int ResponseTimeoutMs();
int EventTimeoutMs();

// A command that went unanswered leaves a reconciliation pending: the radio
// is asked which links it holds, and those no device owns are closed. `wake`
// is called (from the thread that noticed, without blocking) whenever a pass
// is wanted; it must not run one itself.
void SetReconciliationWake(const void* owner, std::function<void()> wake);
// Only if `owner` still holds it: a provider released late must not unhook
// the one opened after it.
void ClearReconciliationWake(const void* owner);
void ClearReconciliation();
// Runs a pending pass under the operation lock; false when the radio did not
// answer it (the pass then stays pending).
bool ReconcileConnections();

bool Hello();
FirmwareInfo GetInfo();
uint8_t GetMaxConnections(uint16_t timeoutMs, bool printConnections);
void Reset(uint8_t bootToDfu, bool waitForBoot);
void DelayedReset(uint16_t delayMs, bool waitForBoot);
void DfuReset(uint8_t bootToDfu, bool waitForBoot);

// Values of the GAP parameters below, as BGAPI numbers them.
enum GapDiscoverMode : uint8_t { kDiscoverGeneric = 1, kDiscoverObservation = 2 };
enum GapDiscoverableMode : uint8_t { kNonDiscoverable = 0, kUserDataDiscoverable = 4 };
enum GapConnectableMode : uint8_t { kNonConnectable = 0, kScannableNonConnectable = 3 };
constexpr uint8_t kAllAdvertisingChannels = 0x07;  // channel map: 37, 38 and 39

void Discover(uint8_t mode);
void EndProcedure();
bool IsScanning();
void SetScanningStateCallback(void (*callback)(bool));

void ConnectDirect(DeviceConnectionHandle h, const Address& address, uint16_t connIntervalMin, uint16_t connIntervalMax,
                   uint16_t supervisionTimeout, uint16_t latency);
void Disconnect(DeviceConnectionHandle h);
bool GetRSSI(DeviceConnectionHandle h, int8_t* rssiOut);

std::vector<AttGroupItem> ReadByGroupType(DeviceConnectionHandle h, uint16_t start, uint16_t end,
                                          const Uuid& groupType);
std::vector<AttHandleItem> FindInformation(DeviceConnectionHandle h, uint16_t start, uint16_t end);
std::vector<uint8_t> ReadByHandle(DeviceConnectionHandle h, uint16_t attHandle);
std::vector<uint8_t> ReadLong(DeviceConnectionHandle h, uint16_t attHandle);
void WriteCommand(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& data);
void AttributeWrite(DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& data);

void SetAdvData(uint8_t setScanResponse, const std::vector<uint8_t>& data);
void SetAdvParameters(uint16_t intervalMin, uint16_t intervalMax, uint8_t channels);
void SetMode(uint8_t discoverable, uint8_t connectable);
void SetScanParameters(uint16_t interval, uint16_t window, uint8_t active);
void SetInitiatingConParameters(uint16_t interval, uint16_t window);
void SetTxPower(uint8_t power);

void FlashSetAddress(uint32_t address);
void FlashUpload(const uint8_t* data, uint8_t length);
void FlashUploadFinish();

}  // namespace BGCalls
}  // namespace lumen::details
