#pragma once

#include <cstdint>
#include <string>

#include "lumen/Export.h"

namespace lumen {

// Writes the radio's traffic to a pcapng file at `path` (docs/capture.md):
// every BGAPI frame both ways, the bytes the frame reader threw away, the
// port opening and going away, and for an nRF52 every driver call and event.
// A capture runs across Initialize and UnInitialize until StopCapture, and
// replaces one already running.
//
// maxFileBytes 0 leaves the file unbounded. Otherwise a file that reaches
// the bound is renamed `path.1` (older ones move to `path.2` ... up to
// `path.<keepFiles>`, the oldest is deleted) and a new file starts at `path`.
//
// Throws KesBluetoothSDKLibError when the file cannot be created. A write
// that fails later ends the capture with an ERROR line.
LUMEN_API void StartCapture(const std::string& path, uint64_t maxFileBytes = 0, uint32_t keepFiles = 1);

// Ends the capture and closes its file. Harmless when none runs.
LUMEN_API void StopCapture();

}  // namespace lumen
