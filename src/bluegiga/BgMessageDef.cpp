#include "bluegiga/BgMessageDef.h"

#include "bluegiga/BgMessages.h"

namespace lumen::details {

const BgMessageDef* BgFindHandler(const uint8_t* header) {
  if (header == nullptr) {
    return nullptr;
  }
  const uint8_t classId = header[2];
  const uint8_t messageId = header[3];
  if (classId >= kBgClassCount) {
    return nullptr;
  }
  const BgClassIndex& index = (header[0] & 0x80) != 0 ? BgEventIndex[classId] : BgResponseIndex[classId];
  if (messageId >= index.count) {
    return nullptr;
  }
  return &index.rows[messageId];
}

}  // namespace lumen::details
