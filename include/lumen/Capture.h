#pragma once

#include <cstdint>
#include <string>

#include "lumen/Export.h"

namespace lumen {

/// Writes the radio's traffic to a pcapng file (docs/capture.md): every BGAPI frame both ways,
/// the bytes the frame reader threw away, the port opening and going away, and for an nRF52
/// every driver call and event. A capture runs across Initialize() and UnInitialize() until
/// StopCapture(), and replaces one already running. Callable from any thread.
///
/// A file that reaches `maxFileBytes` is renamed `path.1` (older ones move to `path.2` ... up to
/// `path.<keepFiles>`, the oldest is deleted) and a new file starts at `path`.
///
/// \param path the file to write.
/// \param maxFileBytes the bound of one file; 0 leaves the file unbounded.
/// \param keepFiles how many rotated files are kept besides `path`.
/// \throws details::KesBluetoothSDKLibError when the file cannot be created. A write that fails later ends
///         the capture with an ERROR log line.
LUMEN_API void StartCapture(const std::string& path, uint64_t maxFileBytes = 0, uint32_t keepFiles = 1);

/// Ends the capture and closes its file. Harmless when none runs.
LUMEN_API void StopCapture();

}  // namespace lumen
