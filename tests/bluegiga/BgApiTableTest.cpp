#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <sstream>
#include <vector>

#include "bluegiga/BgApi.h"
#include "support/LogCapture.h"

namespace lumen::details {
namespace {

using namespace bglib;

// The row the lookup must find for a header, searched the slow way.
const BgMessageDef* RowOf(bool event, int classId, int messageId) {
  for (int i = kBgFirstResponseRow; i < kBgMessageCount; ++i) {
    const BgMessageDef& row = BgMessageTable[i];
    if ((row.kind == BgMessageKind::kEvent) == event && row.header[2] == classId && row.header[3] == messageId) {
      return &row;
    }
  }
  return nullptr;
}

// Every header a radio can send, against the table itself: the lookup finds
// exactly the defined responses and events and nothing past either end.
TEST(BgApiTableTest, FindHandlerFindsEachResponseAndEventRowAndNothingElse) {
  int found = 0;
  for (int type = 0; type < 2; ++type) {
    for (int classId = 0; classId < 256; ++classId) {
      for (int messageId = 0; messageId < 256; ++messageId) {
        const uint8_t header[] = {static_cast<uint8_t>(type == 1 ? 0x80 : 0x00), 0x00, static_cast<uint8_t>(classId),
                                  static_cast<uint8_t>(messageId)};
        // Length and technology bits all set: only type, class and id count.
        const uint8_t oddBits[] = {static_cast<uint8_t>(header[0] | 0x7F), 0xFF, header[2], header[3]};
        const BgMessageDef* expected = RowOf(type == 1, classId, messageId);
        ASSERT_EQ(BgFindHandler(header), expected)
            << (type == 1 ? "event " : "response ") << classId << "/" << messageId;
        ASSERT_EQ(BgFindHandler(oddBits), expected)
            << (type == 1 ? "event " : "response ") << classId << "/" << messageId << " with odd bits";
        found += expected != nullptr ? 1 : 0;
      }
    }
  }
  EXPECT_EQ(found, kBgResponseCount + kBgEventCount);
  EXPECT_EQ(BgFindHandler(nullptr), nullptr);
}

// Every response and event whose fixed part arrives whole reaches its
// handler: the payload walk of the dispatcher agrees with each record.
TEST(BgApiTableTest, EveryResponseAndEventIsDispatchedFromExactlyItsFixedPart) {
  testing::LogCapture log;  // an attribute value without a message queue is logged
  for (int i = kBgFirstResponseRow; i < kBgMessageCount; ++i) {
    const BgMessageDef& row = BgMessageTable[i];
    // Sized exactly, so that a read past the fixed part is caught by the address sanitizer.
    std::vector<uint8_t> payload(row.header[1], 0x00);
    EXPECT_TRUE(BgDispatch(row.header, payload.empty() ? nullptr : payload.data(), payload.size())) << row.name;
  }
}

// Fields at odd offsets are passed by reference all the time (log pieces,
// assertions); that must read the right bytes without a misaligned access.
TEST(BgApiTableTest, MultiByteFieldsAtOddOffsetsReadAndWriteLittleEndian) {
  const uint8_t payload[] = {0x00, 0x05, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                             0x01, 0x27, 0x00, 0x64, 0x00, 0x34, 0x12, 0xFF};
  const auto* status = reinterpret_cast<const ble_msg_connection_status_evt_t*>(payload);
  const uint16le& interval = status->conn_interval;
  EXPECT_EQ(interval, 0x0027);
  EXPECT_EQ(std::max<uint16_t>(status->timeout, status->latency), 0x1234);
  std::ostringstream text;
  text << status->conn_interval << ' ' << status->latency;
  EXPECT_EQ(text.str(), "39 4660");

  ble_msg_system_boot_evt_t boot{};
  boot.major = 0x0102;
  boot.build = 0xBEEF;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&boot);
  EXPECT_EQ(bytes[0], 0x02);
  EXPECT_EQ(bytes[1], 0x01);
  EXPECT_EQ(bytes[6], 0xEF);
  EXPECT_EQ(bytes[7], 0xBE);

  const uint8_t adc[] = {0x03, 0xFE, 0xFF};
  EXPECT_EQ(reinterpret_cast<const ble_msg_hardware_adc_result_evt_t*>(adc)->value, -2);
  const uint8_t dfuBoot[] = {0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(reinterpret_cast<const ble_msg_dfu_boot_evt_t*>(dfuBoot)->version, 0x12345678u);
}

TEST(BgApiTableTest, RowsTheLibraryListensForAreFoundByTheirHeaders) {
  struct Case {
    std::array<uint8_t, 4> header;
    const char* name;
  };
  const Case cases[] = {
      {{0x80, 0x00, 0x00, 0x05}, "ble_evt_system_no_license_key"},
      {{0x80, 0x00, 0x07, 0x04}, "ble_evt_hardware_radio_error"},
      {{0xFF, 0x42, 0x06, 0x00}, "ble_evt_gap_scan_response"},  // odd bits
      {{0x7F, 0x00, 0x00, 0x08}, "ble_rsp_system_get_info"},    // odd bits
  };
  for (const Case& c : cases) {
    const auto* handler = BgFindHandler(c.header.data());
    ASSERT_NE(handler, nullptr) << c.name;
    EXPECT_STREQ(handler->name, c.name);
  }
}

}  // namespace
}  // namespace lumen::details
