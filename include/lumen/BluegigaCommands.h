#pragma once

#include <cstdint>
#include <string>

#include "lumen/Export.h"

namespace lumen {

/// Maintenance of a Bluegiga radio. Each call is a radio command on the calling thread that lets
/// the radio's errors through (as details::BGLibError). The first four log an ERROR and return when the
/// library is not initialised; the firmware-upload steps talk to the open transport directly:
/// DfuReset(1, true), FlashUploadStart(), FlashUpload() per block in order from one thread,
/// FlashUploadFinish(), then DfuReset(0, true) to boot the new firmware.
class LUMEN_API BluegigaCommands {
 public:
  /// \return the radio's firmware version text; empty when the library is not initialised.
  static std::string GetFirmwareVersion();
  /// Resets the radio. Counted as an application reset in RadioHealth.
  /// \param bootToDfu 1 boots into the firmware-upload (DFU) mode, 0 into the application.
  /// \param waitForBoot whether to wait until the radio has booted again.
  static void Reset(uint8_t bootToDfu, bool waitForBoot);
  /// Sets how long a command waits for its response and a procedure for its completing event.
  /// Remembered for a radio the library reopens.
  /// \param responseTimeoutMs time-out for a response; 0 or less becomes 30000 ms.
  /// \param eventTimeoutMs time-out for a completing event; 0 or less becomes 30000 ms.
  static void SetBGTimeouts(int responseTimeoutMs, int eventTimeoutMs);
  /// Sets the transmit power; remembered for a radio the library reopens.
  /// \param power the radio's power setting (BGAPI's hardware_set_txpower value).
  static void SetTXPower(uint8_t power);

  /// Resets the radio through the firmware-upload command set. Counted as an application reset.
  /// \param bootToDfu 1 boots into DFU mode, 0 into the application.
  /// \param waitForBoot whether to wait until the radio has booted again.
  static void DfuReset(uint8_t bootToDfu, bool waitForBoot);
  /// Starts an upload at the firmware image's flash address. The radio must be in DFU mode.
  static void FlashUploadStart();
  /// Sends one block of the image.
  /// \param data the block's bytes.
  /// \param length at most 255 bytes.
  static void FlashUpload(const char* data, uint8_t length);
  /// Ends the upload.
  static void FlashUploadFinish();
};

}  // namespace lumen
