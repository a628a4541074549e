#pragma once

#include <cstdint>
#include <string>

#include "lumen/Export.h"

namespace lumen {

// Maintenance of a Bluegiga radio. The first four log an ERROR and return
// when the library is not initialised. The firmware-upload steps talk to
// the open transport directly: DfuReset(1, true), FlashUploadStart(),
// FlashUpload() per block in order from one thread, FlashUploadFinish(),
// then DfuReset(0, true) to boot the new firmware.
class LUMEN_API BluegigaCommands {
 public:
  static std::string GetFirmwareVersion();
  static void Reset(uint8_t bootToDfu, bool waitForBoot);
  // Values of 0 or less become 30000 ms.
  static void SetBGTimeouts(int responseTimeoutMs, int eventTimeoutMs);
  static void SetTXPower(uint8_t power);

  static void DfuReset(uint8_t bootToDfu, bool waitForBoot);
  static void FlashUploadStart();
  // One block of at most 255 bytes.
  static void FlashUpload(const char* data, uint8_t length);
  static void FlashUploadFinish();
};

}  // namespace lumen
