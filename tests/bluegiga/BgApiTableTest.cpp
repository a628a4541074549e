#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "bluegiga/BgApi.h"

namespace lumen::details {
namespace {

using namespace bglib;

std::string Suffix(const char* name) { return std::string(name).substr(std::strlen("ble_xxx_")); }

const BgMessageDef* FindByName(const std::string& name) {
  for (const BgMessageDef& row : BgMessageTable) {
    if (name == row.name) {
      return &row;
    }
  }
  return nullptr;
}

TEST(BgApiTableTest, TableHoldsCommandsThenResponsesThenEventsWithAlignedIds) {
  ASSERT_EQ(kBgMessageCount, 269);
  ASSERT_EQ(kBgCommandCount, 116);
  ASSERT_EQ(kBgFirstResponseRow, 116);
  ASSERT_EQ(kBgFirstEventRow, 232);
  ASSERT_EQ(kBgEventCount, 37);

  std::set<std::string> names;
  for (int i = 0; i < kBgMessageCount; ++i) {
    const BgMessageDef& row = BgMessageTable[i];
    const BgMessageKind expected = i < kBgFirstResponseRow ? BgMessageKind::kCommand
                                   : i < kBgFirstEventRow  ? BgMessageKind::kResponse
                                                           : BgMessageKind::kEvent;
    EXPECT_EQ(row.kind, expected) << row.name;
    EXPECT_EQ(row.header[0], expected == BgMessageKind::kEvent ? 0x80 : 0x00) << row.name;
    const char* prefix = expected == BgMessageKind::kCommand    ? "ble_cmd_"
                         : expected == BgMessageKind::kResponse ? "ble_rsp_"
                                                                : "ble_evt_";
    EXPECT_EQ(std::string(row.name).rfind(prefix, 0), 0u) << row.name;
    EXPECT_NE(row.handler, nullptr) << row.name;
    EXPECT_TRUE(names.insert(row.name).second) << "duplicate " << row.name;
  }

  // Each response answers the command in the same position of its group.
  for (int i = 0; i < kBgCommandCount; ++i) {
    const BgMessageDef& command = BgMessageTable[i];
    const BgMessageDef& response = BgMessageTable[kBgFirstResponseRow + i];
    EXPECT_EQ(command.header[2], response.header[2]) << command.name;
    EXPECT_EQ(command.header[3], response.header[3]) << command.name;
    EXPECT_EQ(Suffix(command.name), Suffix(response.name));
  }
}

TEST(BgApiTableTest, ClassIndexesCountEveryDefinedIdOfEachClass) {
  constexpr int kResponses[kBgClassCount] = {21, 9, 6, 10, 12, 9, 13, 23, 7, 6};
  constexpr int kEvents[kBgClassCount] = {8, 1, 3, 5, 7, 5, 2, 5, 0, 1};
  for (int classId = 0; classId < kBgClassCount; ++classId) {
    EXPECT_EQ(BgResponseIndex[classId].count, kResponses[classId]) << "class " << classId;
    EXPECT_EQ(BgEventIndex[classId].count, kEvents[classId]) << "class " << classId;
    for (int id = 0; id < BgResponseIndex[classId].count; ++id) {
      const BgMessageDef& row = BgResponseIndex[classId].rows[id];
      EXPECT_EQ(row.kind, BgMessageKind::kResponse);
      EXPECT_EQ(row.header[2], classId);
      EXPECT_EQ(row.header[3], id);
    }
    for (int id = 0; id < BgEventIndex[classId].count; ++id) {
      const BgMessageDef& row = BgEventIndex[classId].rows[id];
      EXPECT_EQ(row.kind, BgMessageKind::kEvent);
      EXPECT_EQ(row.header[2], classId);
      EXPECT_EQ(row.header[3], id);
    }
  }
}

// The payload is read in place through the records, so the record, the
// declared fixed length and the parameter codes must agree on every row.
TEST(BgApiTableTest, EveryRecordIsExactlyTheFixedPartOfItsMessage) {
  for (const BgMessageDef& row : BgMessageTable) {
    size_t width = 0;
    int params = 0;
    bool arraySeen = false;
    for (uint32_t codes = row.params; (codes & 0xF) != 0; codes >>= 4) {
      const auto code = static_cast<uint8_t>(codes & 0xF);
      EXPECT_FALSE(arraySeen) << row.name << ": the array must be the last parameter";
      arraySeen = code == kBgParamUint8Array || code == kBgParamString || code == kBgParamUint16Array;
      EXPECT_NE(BgParamWidth(code), 0u) << row.name << ": unknown code " << int{code};
      width += BgParamWidth(code);
      ++params;
    }
    EXPECT_LE(params, kBgMaxParams);
    EXPECT_EQ(row.header[1], width) << row.name;
    EXPECT_EQ(row.recordSize, width) << row.name;
  }
}

TEST(BgApiTableTest, RecordsLayOutTheFieldsTheLibraryReads) {
  EXPECT_EQ(offsetof(ble_msg_gap_scan_response_evt_t, rssi), 0u);
  EXPECT_EQ(offsetof(ble_msg_gap_scan_response_evt_t, packet_type), 1u);
  EXPECT_EQ(offsetof(ble_msg_gap_scan_response_evt_t, sender), 2u);
  EXPECT_EQ(offsetof(ble_msg_gap_scan_response_evt_t, address_type), 8u);
  EXPECT_EQ(offsetof(ble_msg_gap_scan_response_evt_t, bond), 9u);
  EXPECT_EQ(offsetof(ble_msg_gap_scan_response_evt_t, data), 10u);

  EXPECT_EQ(offsetof(ble_msg_connection_status_evt_t, address), 2u);
  EXPECT_EQ(offsetof(ble_msg_connection_status_evt_t, address_type), 8u);
  EXPECT_EQ(offsetof(ble_msg_connection_status_evt_t, conn_interval), 9u);
  EXPECT_EQ(offsetof(ble_msg_connection_status_evt_t, timeout), 11u);
  EXPECT_EQ(offsetof(ble_msg_connection_status_evt_t, latency), 13u);
  EXPECT_EQ(offsetof(ble_msg_connection_status_evt_t, bonding), 15u);

  EXPECT_EQ(offsetof(ble_msg_system_get_info_rsp_t, ll_version), 8u);
  EXPECT_EQ(offsetof(ble_msg_system_get_info_rsp_t, protocol_version), 10u);
  EXPECT_EQ(offsetof(ble_msg_system_get_info_rsp_t, hw), 11u);

  EXPECT_EQ(offsetof(ble_msg_attclient_attribute_value_evt_t, atthandle), 1u);
  EXPECT_EQ(offsetof(ble_msg_attclient_attribute_value_evt_t, type), 3u);
  EXPECT_EQ(offsetof(ble_msg_attclient_attribute_value_evt_t, value), 4u);

  // connect_direct ends timeout, latency; connection_update ends latency, timeout.
  EXPECT_EQ(offsetof(ble_msg_gap_connect_direct_cmd_t, timeout), 11u);
  EXPECT_EQ(offsetof(ble_msg_gap_connect_direct_cmd_t, latency), 13u);
  EXPECT_EQ(offsetof(ble_msg_connection_update_cmd_t, latency), 5u);
  EXPECT_EQ(offsetof(ble_msg_connection_update_cmd_t, timeout), 7u);

  EXPECT_EQ(sizeof(ble_msg_attclient_indicate_confirm_rsp_t), 2u);  // result only
  EXPECT_EQ(offsetof(ble_msg_attclient_find_by_type_value_cmd_t, uuid), 5u);
  EXPECT_EQ(offsetof(ble_msg_attclient_find_by_type_value_cmd_t, value), 7u);
  EXPECT_EQ(sizeof(ble_msg_gap_connect_direct_rsp_t), 3u);
  EXPECT_EQ(offsetof(ble_msg_gap_connect_direct_rsp_t, connection_handle), 2u);
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

TEST(BgApiTableTest, RowsThatAreEasyToGetWrongHaveTheirProtocolShape) {
  for (const char* name : {"ble_rsp_hardware_set_txpower", "ble_rsp_sm_set_bondable_mode",
                           "ble_rsp_gap_set_privacy_flags", "ble_rsp_system_hello", "ble_evt_hardware_radio_error"}) {
    const BgMessageDef* row = FindByName(name);
    ASSERT_NE(row, nullptr) << name;
    EXPECT_EQ(row->recordSize, 0u) << name;
  }
  const uint8_t noLicenseKey[] = {0x80, 0x00, 0x00, 0x05};
  ASSERT_NE(BgFindHandler(noLicenseKey), nullptr);
  EXPECT_STREQ(BgFindHandler(noLicenseKey)->name, "ble_evt_system_no_license_key");

  const BgMessageDef* writeData = FindByName("ble_cmd_flash_write_data");
  ASSERT_NE(writeData, nullptr);
  EXPECT_EQ(writeData->params, uint32_t{kBgParamUint32} | (uint32_t{kBgParamUint8Array} << 4));
  EXPECT_EQ(sizeof(ble_msg_flash_write_data_rsp_t), 2u);
}

TEST(BgApiTableTest, FindHandlerKnowsOnlyDefinedResponsesAndEvents) {
  const uint8_t lastSystemResponse[] = {0x00, 0x00, 0x00, 20};
  ASSERT_NE(BgFindHandler(lastSystemResponse), nullptr);
  EXPECT_STREQ(BgFindHandler(lastSystemResponse)->name, "ble_rsp_system_delay_reset");

  const uint8_t onePastSystemResponses[] = {0x00, 0x00, 0x00, 21};
  EXPECT_EQ(BgFindHandler(onePastSystemResponses), nullptr);
  for (int id = 0; id < 256; ++id) {
    const uint8_t testEvent[] = {0x80, 0x00, 0x08, static_cast<uint8_t>(id)};
    EXPECT_EQ(BgFindHandler(testEvent), nullptr) << id;
  }
  for (int classId = 10; classId < 256; ++classId) {
    const uint8_t response[] = {0x00, 0x00, static_cast<uint8_t>(classId), 0x00};
    const uint8_t event[] = {0x80, 0x00, static_cast<uint8_t>(classId), 0x00};
    EXPECT_EQ(BgFindHandler(response), nullptr) << classId;
    EXPECT_EQ(BgFindHandler(event), nullptr) << classId;
  }
  const uint8_t onePastDfuEvents[] = {0x80, 0x00, 0x09, 0x01};
  EXPECT_EQ(BgFindHandler(onePastDfuEvents), nullptr);
  EXPECT_EQ(BgFindHandler(nullptr), nullptr);
}

TEST(BgApiTableTest, FindHandlerIgnoresLengthAndTechnologyBits) {
  const uint8_t radioError[] = {0x80, 0x00, 0x07, 0x04};
  ASSERT_NE(BgFindHandler(radioError), nullptr);
  EXPECT_STREQ(BgFindHandler(radioError)->name, "ble_evt_hardware_radio_error");

  const uint8_t scanResponseOddBits[] = {0xFF, 0x42, 0x06, 0x00};
  ASSERT_NE(BgFindHandler(scanResponseOddBits), nullptr);
  EXPECT_STREQ(BgFindHandler(scanResponseOddBits)->name, "ble_evt_gap_scan_response");

  const uint8_t getInfoOddBits[] = {0x7F, 0x00, 0x00, 0x08};
  ASSERT_NE(BgFindHandler(getInfoOddBits), nullptr);
  EXPECT_STREQ(BgFindHandler(getInfoOddBits)->name, "ble_rsp_system_get_info");
}

}  // namespace
}  // namespace lumen::details
