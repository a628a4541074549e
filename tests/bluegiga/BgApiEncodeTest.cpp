#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <numeric>
#include <vector>

#include "BgApiTestSupport.h"
#include "bluegiga/BgApi.h"
#include "support/LogCapture.h"

namespace lumen::details {
namespace {

using namespace bglib;
using Bytes = std::vector<uint8_t>;

// What one command handed to the output function.
struct Output {
  Bytes first;
  Bytes tail;
  bool tailPointerNull = false;
};

std::mutex g_outputsMutex;
std::vector<Output> g_outputs;

void Record(uint8_t len1, const uint8_t* bytes1, uint16_t len2, const uint8_t* bytes2) {
  std::lock_guard lock(g_outputsMutex);
  g_outputs.push_back(
      {Bytes(bytes1, bytes1 + len1), bytes2 != nullptr ? Bytes(bytes2, bytes2 + len2) : Bytes(), bytes2 == nullptr});
}

class BgApiEncodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_outputs.clear();
    BgOutputHook.store(&Record);
  }
  void TearDown() override { BgOutputHook.store(nullptr); }

  static std::vector<Output> Outputs() {
    std::lock_guard lock(g_outputsMutex);
    return g_outputs;
  }
};

TEST_F(BgApiEncodeTest, ArrayTailLengthIsAddedToTheHeaderButNotToTheFirstOutput) {
  Bytes advData(31);
  std::iota(advData.begin(), advData.end(), uint8_t{0x40});
  ble_cmd_gap_set_adv_data(0, static_cast<uint8_t>(advData.size()), advData.data());

  const auto outputs = Outputs();
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].first, (Bytes{0x00, 0x21, 0x06, 0x09, 0x00, 0x1F}));
  EXPECT_EQ(outputs[0].tail, advData);
}

TEST_F(BgApiEncodeTest, ConnectDirectIsNineteenBytesEndingWithTimeoutThenLatency) {
  const bd_addr_t address{{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}};
  ble_cmd_gap_connect_direct(&address, 1, 0x0006, 0x0C80, 0x0064, 0x0002);

  const auto outputs = Outputs();
  ASSERT_EQ(outputs.size(), 1u);
  const Bytes expected{0x00, 0x0F, 0x06, 0x03, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                       0x01, 0x06, 0x00, 0x80, 0x0C, 0x64, 0x00, 0x02, 0x00};
  EXPECT_EQ(outputs[0].first, expected);
  EXPECT_TRUE(outputs[0].tail.empty());
  EXPECT_TRUE(outputs[0].tailPointerNull);

  // The same bytes read back through the command's record.
  const auto* record = reinterpret_cast<const ble_msg_gap_connect_direct_cmd_t*>(outputs[0].first.data() + 4);
  EXPECT_EQ(std::memcmp(record->address.addr, address.addr, 6), 0);
  EXPECT_EQ(record->addr_type, 1);
  EXPECT_EQ(record->conn_interval_min, 0x0006);
  EXPECT_EQ(record->conn_interval_max, 0x0C80);
  EXPECT_EQ(record->timeout, 0x0064);
  EXPECT_EQ(record->latency, 0x0002);
}

TEST_F(BgApiEncodeTest, CommandsThatTheLibrarySendsHaveTheirExactBytes) {
  ble_cmd_system_hello();
  ble_cmd_system_reset(1);
  ble_cmd_system_delay_reset(0, 0x01F4);
  ble_cmd_connection_get_rssi(3);
  ble_cmd_attclient_find_information(2, 0x0001, 0xFFFF);
  ble_cmd_attclient_read_by_handle(2, 0x0025);
  ble_cmd_gap_set_mode(2, 2);
  ble_cmd_gap_discover(1);
  ble_cmd_gap_set_scan_parameters(0x00C8, 0x00C8, 1);
  ble_cmd_dfu_flash_set_address(0x00001000);
  ble_cmd_hardware_set_txpower(15);

  const std::vector<Bytes> expected{
      {0x00, 0x00, 0x00, 0x01},
      {0x00, 0x01, 0x00, 0x00, 0x01},
      {0x00, 0x03, 0x00, 0x14, 0x00, 0xF4, 0x01},
      {0x00, 0x01, 0x03, 0x01, 0x03},
      {0x00, 0x05, 0x04, 0x03, 0x02, 0x01, 0x00, 0xFF, 0xFF},
      {0x00, 0x03, 0x04, 0x04, 0x02, 0x25, 0x00},
      {0x00, 0x02, 0x06, 0x01, 0x02, 0x02},
      {0x00, 0x01, 0x06, 0x02, 0x01},
      {0x00, 0x05, 0x06, 0x07, 0xC8, 0x00, 0xC8, 0x00, 0x01},
      {0x00, 0x04, 0x09, 0x01, 0x00, 0x10, 0x00, 0x00},
      {0x00, 0x01, 0x07, 0x0C, 0x0F},
  };
  const auto outputs = Outputs();
  ASSERT_EQ(outputs.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(outputs[i].first, expected[i]) << "command " << i;
    EXPECT_TRUE(outputs[i].tail.empty()) << "command " << i;
  }
}

TEST_F(BgApiEncodeTest, LongArrayCarriesThePayloadLengthIntoByteZero) {
  Bytes value(255, 0x5A);
  ble_cmd_attclient_attribute_write(4, 0x0030, static_cast<uint8_t>(value.size()), value.data());

  const auto outputs = Outputs();
  ASSERT_EQ(outputs.size(), 1u);
  // 4 fixed bytes + 255 = 0x103: carry 1 in byte 0, 0x03 in byte 1.
  EXPECT_EQ(outputs[0].first, (Bytes{0x01, 0x03, 0x04, 0x05, 0x04, 0x30, 0x00, 0xFF}));
  EXPECT_EQ(outputs[0].tail, value);
}

TEST_F(BgApiEncodeTest, EmptyArraySendsOnlyItsLengthByte) {
  ble_cmd_dfu_flash_upload(0, nullptr);
  const auto outputs = Outputs();
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0].first, (Bytes{0x00, 0x01, 0x09, 0x02, 0x00}));
  EXPECT_TRUE(outputs[0].tail.empty());
}

TEST_F(BgApiEncodeTest, CommandsAreDroppedWithoutAnOutputHook) {
  BgOutputHook.store(nullptr);
  ble_cmd_system_hello();
  const uint8_t data[] = {1, 2, 3};
  ble_cmd_attclient_write_command(1, 0x10, sizeof data, data);
  EXPECT_TRUE(Outputs().empty());
}

// A caller that passes too few arguments must not make the encoder read
// beyond them.
TEST_F(BgApiEncodeTest, MissingArgumentsAreLoggedAndTheCommandDropped) {
  testing::LogCapture log;
  int connectDirect = -1;
  for (int i = 0; i < kBgCommandCount; ++i) {
    if (std::strcmp(BgMessageTable[i].name, "ble_cmd_gap_connect_direct") == 0) {
      connectDirect = i;
    }
  }
  ASSERT_GE(connectDirect, 0);
  const bd_addr_t address{};
  BgSendMessage(connectDirect, &address, uint8_t{0});
  BgSendMessage(kBgMessageCount);
  BgSendMessage(-1);
  EXPECT_TRUE(Outputs().empty());
  EXPECT_EQ(log.Lines(Logger::ERROR).size(), 3u);
  EXPECT_TRUE(log.HasContaining(Logger::ERROR, "ble_cmd_gap_connect_direct missing arguments"));
}

// Codes no row of this firmware generation uses are still encoded as the
// protocol defines them.
TEST_F(BgApiEncodeTest, SignedWideAndTwoByteLengthArrayCodesEncodeLittleEndian) {
  BgMessageDef row{};
  row.header[0] = 0x00;
  row.header[1] = 1 + 2 + 4 + 2;
  row.header[2] = 0x05;
  row.header[3] = 0x07;
  row.params = kBgParamInt8 | (kBgParamInt16 << 4) | (kBgParamInt32 << 8) | (kBgParamUint16Array << 12);
  row.name = "synthetic";
  Bytes tail(0x300, 0xEE);
  const BgArg args[] = {MakeBgArg(int8_t{-2}), MakeBgArg(int16_t{-3}), MakeBgArg(int32_t{-4}),
                        MakeBgArg(uint16_t{0x300}), MakeBgArg(tail.data())};
  ASSERT_TRUE(BgEncodeMessage(row, args, std::size(args), &Record));

  const auto outputs = Outputs();
  ASSERT_EQ(outputs.size(), 1u);
  // Payload 9 + 0x300 = 0x309.
  EXPECT_EQ(outputs[0].first, (Bytes{0x03, 0x09, 0x05, 0x07, 0xFE, 0xFD, 0xFF, 0xFC, 0xFF, 0xFF, 0xFF, 0x00, 0x03}));
  EXPECT_EQ(outputs[0].tail, tail);
}

}  // namespace
}  // namespace lumen::details
