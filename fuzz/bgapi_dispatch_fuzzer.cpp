// Feeds arbitrary bytes to the BGAPI dispatcher as the serial reader would:
// 4-byte header, payload length from byte 1, then the payload (cut short at
// the end of the input). Each payload sits in a buffer of exactly its size so
// that the address sanitizer sees any read past it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "bluegiga/BgApi.h"
#include "core/CallbacksManager.h"
#include "core/MessageQueue.h"
#include "lumen/BluegigaHelper.h"
#include "lumen/Errors.h"
#include "lumen/Logger.h"

namespace {

using namespace lumen::details;
using namespace lumen::details::bglib;

volatile uint8_t g_sink;

void Consume(const uint8_t* bytes, size_t size) {
  uint8_t sum = 0;
  for (size_t i = 0; i < size; ++i) {
    sum = static_cast<uint8_t>(sum + bytes[i]);
  }
  g_sink = sum;
}

// Reads everything a handler or subscriber may read of an accepted frame:
// the record and, after it, the bytes of its array.
void ReadAcceptedRecord(const BgMessageDef& row, const uint8_t* payload) {
  if (row.recordSize == 0) {
    return;
  }
  Consume(payload, row.recordSize);
  const uint32_t lastCode = [&] {
    uint32_t code = 0;
    for (uint32_t codes = row.params; (codes & 0xF) != 0; codes >>= 4) {
      code = codes & 0xF;
    }
    return code;
  }();
  if (lastCode == kBgParamUint8Array || lastCode == kBgParamString) {
    const auto* array = reinterpret_cast<const uint8array*>(payload + row.recordSize - 1);
    Consume(array->data(), array->len);
  }
}

void DiscardLog(lumen::Logger::LogType /*type*/, const std::string& text) {
  g_sink = static_cast<uint8_t>(text.size());
}

bool Initialize() {
  // Log formatting runs too, into nowhere.
  lumen::Logger::SetLogCallback(&DiscardLog);
  SetMessageQueue(std::make_shared<MessageQueue>());
  static int ids[4];
  Subscribe<const ble_msg_gap_scan_response_evt_t*>(
      "ble_evt_gap_scan_response",
      [](const ble_msg_gap_scan_response_evt_t* record) { Consume(record->data.data(), record->data.len); }, &ids[0]);
  Subscribe<const ble_msg_attclient_group_found_evt_t*>(
      "ble_evt_attclient_group_found",
      [](const ble_msg_attclient_group_found_evt_t* record) {
        try {
          g_sink = static_cast<uint8_t>(Helper::BgUuidToUuid(&record->uuid).size());
        } catch (const KesBluetoothSDKLibError&) {
        }
      },
      &ids[1]);
  Subscribe<const CommonDataNotificationEvent_t*>(
      "common_evt_data_notification",
      [](const CommonDataNotificationEvent_t* event) { Consume(event->data.data(), event->data.size()); }, &ids[2]);
  Subscribe<unsigned int>(
      "common_evt_disconnect", [](unsigned int connection) { g_sink = static_cast<uint8_t>(connection); }, &ids[3]);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool initialized = Initialize();
  (void)initialized;

  size_t position = 0;
  while (size - position >= 4) {
    uint8_t header[4];
    std::memcpy(header, data + position, sizeof header);
    position += sizeof header;
    const size_t length = std::min<size_t>(header[1], size - position);
    std::unique_ptr<uint8_t[]> payload;
    if (length != 0) {
      payload = std::make_unique<uint8_t[]>(length);
      std::memcpy(payload.get(), data + position, length);
    }
    position += length;

    const BgMessageDef* row = BgFindHandler(header);
    if (row == nullptr) {
      continue;
    }
    if (BgDispatch(header, payload.get(), length)) {
      ReadAcceptedRecord(*row, payload.get());
    }
  }
  return 0;
}
