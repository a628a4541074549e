#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumen/BluegigaCommands.h"

namespace lumen::testing {

// 1000 bytes that are not a repeating block, so a lost or doubled block shows.
inline std::vector<uint8_t> TestFirmwareImage() {
  std::vector<uint8_t> image(1000);
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  return image;
}

// Flashes `image` to a radio in its boot loader, 128 bytes per command.
inline void UploadFirmware(const std::vector<uint8_t>& image) {
  BluegigaCommands::FlashUploadStart();
  constexpr size_t kBlock = 128;
  for (size_t offset = 0; offset < image.size(); offset += kBlock) {
    const size_t length = std::min(kBlock, image.size() - offset);
    BluegigaCommands::FlashUpload(reinterpret_cast<const char*>(image.data() + offset), static_cast<uint8_t>(length));
  }
  BluegigaCommands::FlashUploadFinish();
}

}  // namespace lumen::testing
