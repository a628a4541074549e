#include "lumen/BluegigaCommands.h"

#include "bluegiga/BGCalls.h"
#include "core/BluetoothSDK.h"
#include "core/HealthCounters.h"
#include "core/Log.h"
#include "core/RadioSettings.h"

namespace lumen {
namespace {

constexpr uint32_t kFirmwareImageFlashAddress = 0x1000;

// Runs call on the current provider, or logs `uninitialisedText` when there is none.
template <class Call>
bool WithProvider(const char* uninitialisedText, Call&& call) {
  if (!details::IsBluetoothSDKInitialized()) {
    details::Log(details::kError, uninitialisedText);
    return false;
  }
  call(*details::GetBluetoothSDK());
  return true;
}

}  // namespace

std::string BluegigaCommands::GetFirmwareVersion() {
  std::string version;
  WithProvider("BluegigaCommands::GetFirmwareVersion called before KESLUMEN initialized.",
               [&version](details::IBluetoothSDK& sdk) { version = sdk.GetFirmwareVersion(); });
  return version;
}

void BluegigaCommands::Reset(uint8_t bootToDfu, bool waitForBoot) {
  WithProvider("BluegigaCommands::Reset called before KESLUMEN initialized.", [&](details::IBluetoothSDK& sdk) {
    details::Count(details::Health().resetsApplication);
    sdk.Reset(bootToDfu, waitForBoot);
  });
}

void BluegigaCommands::SetBGTimeouts(int responseTimeoutMs, int eventTimeoutMs) {
  WithProvider("BluegigaCommands::SetBGTimeouts called before KESLUMEN initialized.", [&](details::IBluetoothSDK& sdk) {
    details::RememberTimeouts(responseTimeoutMs, eventTimeoutMs);
    sdk.SetTimeouts(responseTimeoutMs, eventTimeoutMs);
  });
}

void BluegigaCommands::SetTXPower(uint8_t power) {
  WithProvider("BluegigaCommands::SetTXPower called before KESLUMEN initialized.", [&](details::IBluetoothSDK& sdk) {
    details::RememberTxPower(power);
    sdk.SetTXPower(power);
  });
}

void BluegigaCommands::DfuReset(uint8_t bootToDfu, bool waitForBoot) {
  details::Count(details::Health().resetsApplication);
  details::BGCalls::DfuReset(bootToDfu, waitForBoot);
}

void BluegigaCommands::FlashUploadStart() { details::BGCalls::FlashSetAddress(kFirmwareImageFlashAddress); }

void BluegigaCommands::FlashUpload(const char* data, uint8_t length) {
  details::BGCalls::FlashUpload(reinterpret_cast<const uint8_t*>(data), length);
}

void BluegigaCommands::FlashUploadFinish() { details::BGCalls::FlashUploadFinish(); }

}  // namespace lumen
