// Feeds arbitrary files to the capture reader that replays field captures.
// It may refuse a file, only ever with its own error; it may not crash, read
// outside the file or hand back a record that reaches past it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sim/CaptureFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  // An exact-size copy, so reading past the file is caught by the sanitizer.
  const lumen::sim::Bytes file(bytes, bytes + size);
  try {
    const lumen::sim::Capture capture = lumen::sim::ParseCapture(file);
    size_t held = 0;
    for (const lumen::sim::CaptureRecord& record : capture.records) {
      held += 1 + record.body.size();
      (void)record.Text();
    }
    if (held > size) {
      std::abort();
    }
  } catch (const lumen::sim::CaptureFormatError&) {
  }
  return 0;
}
