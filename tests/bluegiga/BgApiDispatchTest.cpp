#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "BgApiTestSupport.h"
#include "bluegiga/BgApi.h"
#include "core/MessageQueue.h"
#include "lumen/BluegigaHelper.h"
#include "support/Guard.h"
#include "support/LogCapture.h"

namespace lumen::details {
namespace {

using namespace bglib;
using namespace std::chrono_literals;
using bgapi_test::ScopedSubscription;
using testing::LogCapture;
using Bytes = std::vector<uint8_t>;

using testing::kGuard;

// A received frame with its payload in a buffer of exactly its size, so that
// any read past the payload is caught by the address sanitizer.
struct Frame {
  Frame(const std::array<uint8_t, 4>& headerBytes, const Bytes& payloadBytes)
      : size(payloadBytes.size()), payload(std::make_unique<uint8_t[]>(payloadBytes.size())) {
    std::copy(headerBytes.begin(), headerBytes.end(), header);
    std::copy(payloadBytes.begin(), payloadBytes.end(), payload.get());
  }

  bool Dispatch() const { return BgDispatch(header, size != 0 ? payload.get() : nullptr, size); }

  uint8_t header[4]{};
  size_t size;
  std::unique_ptr<uint8_t[]> payload;
};

Bytes ScanResponsePayload(uint8_t dataLen, size_t dataBytesPresent) {
  Bytes payload{0xC4, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x01, 0xFF, dataLen};
  for (size_t i = 0; i < dataBytesPresent; ++i) {
    payload.push_back(static_cast<uint8_t>(0xA0 + i));
  }
  return payload;
}

constexpr std::array<uint8_t, 4> kScanResponseHeader{0x80, 0x1A, 0x06, 0x00};

class BgApiDispatchTest : public ::testing::Test {
 protected:
  void TearDown() override { SetMessageQueue(nullptr); }
};

TEST_F(BgApiDispatchTest, ScanResponseIsPublishedWithItsRecordInPlace) {
  const Frame frame(kScanResponseHeader, ScanResponsePayload(15, 15));
  int calls = 0;
  ScopedSubscription<const ble_msg_gap_scan_response_evt_t*> subscription(
      "ble_evt_gap_scan_response", [&](const ble_msg_gap_scan_response_evt_t* record) {
        ++calls;
        EXPECT_EQ(static_cast<const void*>(record), frame.payload.get());
        EXPECT_EQ(record->rssi, -60);
        EXPECT_EQ(record->packet_type, 0);
        EXPECT_EQ(Bytes(record->sender.addr, record->sender.addr + 6), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
        EXPECT_EQ(record->address_type, 1);
        EXPECT_EQ(record->bond, 0xFF);
        ASSERT_EQ(record->data.len, 15);
        EXPECT_EQ(record->data.data()[0], 0xA0);
        EXPECT_EQ(record->data.data()[14], 0xAE);
      });
  EXPECT_TRUE(frame.Dispatch());
  EXPECT_EQ(calls, 1);
}

TEST_F(BgApiDispatchTest, ResponsesAndEventsTheLibraryConsumesCarryTheirFields) {
  int calls = 0;
  ScopedSubscription<const ble_msg_system_get_info_rsp_t*> info("ble_rsp_system_get_info",
                                                                [&](const ble_msg_system_get_info_rsp_t* record) {
                                                                  ++calls;
                                                                  EXPECT_EQ(record->major, 1);
                                                                  EXPECT_EQ(record->minor, 4);
                                                                  EXPECT_EQ(record->patch, 2);
                                                                  EXPECT_EQ(record->build, 0x0082);
                                                                  EXPECT_EQ(record->ll_version, 0x0304);
                                                                  EXPECT_EQ(record->protocol_version, 1);
                                                                  EXPECT_EQ(record->hw, 3);
                                                                });
  ScopedSubscription<const ble_msg_connection_status_evt_t*> status("ble_evt_connection_status",
                                                                    [&](const ble_msg_connection_status_evt_t* record) {
                                                                      ++calls;
                                                                      EXPECT_EQ(record->connection, 0);
                                                                      EXPECT_EQ(record->flags, 0x05);
                                                                      EXPECT_EQ(record->address.addr[0], 0x10);
                                                                      EXPECT_EQ(record->address.addr[5], 0x15);
                                                                      EXPECT_EQ(record->address_type, 1);
                                                                      EXPECT_EQ(record->conn_interval, 0x0027);
                                                                      EXPECT_EQ(record->timeout, 0x0064);
                                                                      EXPECT_EQ(record->latency, 0);
                                                                      EXPECT_EQ(record->bonding, 0xFF);
                                                                    });
  ScopedSubscription<const ble_msg_connection_version_ind_evt_t*> version(
      "ble_evt_connection_version_ind", [&](const ble_msg_connection_version_ind_evt_t* record) {
        ++calls;
        EXPECT_EQ(record->vers_nr, 8);
        EXPECT_EQ(record->comp_id, 0x000F);
        EXPECT_EQ(record->sub_vers_nr, 0x2209);
      });
  ScopedSubscription<const ble_msg_attclient_group_found_evt_t*> group(
      "ble_evt_attclient_group_found", [&](const ble_msg_attclient_group_found_evt_t* record) {
        ++calls;
        EXPECT_EQ(record->start, 0x0010);
        EXPECT_EQ(record->end, 0x001F);
        ASSERT_EQ(record->uuid.len, 2);
        EXPECT_EQ(Helper::BgUuidToUuid(&record->uuid), Uuid(uint16_t{0x180D}));
      });
  ScopedSubscription<const ble_msg_connection_get_rssi_rsp_t*> rssi(
      "ble_rsp_connection_get_rssi", [&](const ble_msg_connection_get_rssi_rsp_t* record) {
        ++calls;
        EXPECT_EQ(record->rssi, -75);
      });

  EXPECT_TRUE(Frame({0x00, 0x0C, 0x00, 0x08}, {0x01, 0x00, 0x04, 0x00, 0x02, 0x00, 0x82, 0x00, 0x04, 0x03, 0x01, 0x03})
                  .Dispatch());
  EXPECT_TRUE(Frame({0x80, 0x10, 0x03, 0x00},
                    {0x00, 0x05, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x01, 0x27, 0x00, 0x64, 0x00, 0x00, 0x00, 0xFF})
                  .Dispatch());
  EXPECT_TRUE(Frame({0x80, 0x06, 0x03, 0x01}, {0x00, 0x08, 0x0F, 0x00, 0x09, 0x22}).Dispatch());
  EXPECT_TRUE(Frame({0x80, 0x08, 0x04, 0x02}, {0x00, 0x10, 0x00, 0x1F, 0x00, 0x02, 0x0D, 0x18}).Dispatch());
  EXPECT_TRUE(Frame({0x00, 0x02, 0x03, 0x01}, {0x00, 0xB5}).Dispatch());
  EXPECT_EQ(calls, 5);
}

TEST_F(BgApiDispatchTest, MessagesWithoutParametersArePublishedWithNull) {
  std::vector<std::string> seen;
  const auto expectNull = [&](const char* name) {
    return [&seen, name](const void* payload) {
      EXPECT_EQ(payload, nullptr);
      seen.emplace_back(name);
    };
  };
  ScopedSubscription<const void*> hello("ble_rsp_system_hello", expectNull("hello"));
  ScopedSubscription<const void*> txPower("ble_rsp_hardware_set_txpower", expectNull("txpower"));
  ScopedSubscription<const void*> radioError("ble_evt_hardware_radio_error", expectNull("radio error"));
  ScopedSubscription<const void*> reset("ble_rsp_system_reset", expectNull("reset"));

  EXPECT_TRUE(Frame({0x00, 0x00, 0x00, 0x01}, {}).Dispatch());
  EXPECT_TRUE(Frame({0x00, 0x00, 0x07, 0x0C}, {}).Dispatch());
  EXPECT_TRUE(Frame({0x80, 0x00, 0x07, 0x04}, {}).Dispatch());
  // A stray byte after a parameterless message is not read.
  EXPECT_TRUE(Frame({0x00, 0x01, 0x00, 0x00}, {0x42}).Dispatch());
  EXPECT_EQ(seen, (std::vector<std::string>{"hello", "txpower", "radio error", "reset"}));
}

TEST_F(BgApiDispatchTest, DisconnectIsPublishedAsCommonDisconnectWithTheConnection) {
  std::vector<unsigned int> disconnected;
  int ownNameCalls = 0;
  ScopedSubscription<unsigned int> common("common_evt_disconnect",
                                          [&](unsigned int connection) { disconnected.push_back(connection); });
  ScopedSubscription<const ble_msg_connection_disconnected_evt_t*> own(
      "ble_evt_connection_disconnected", [&](const ble_msg_connection_disconnected_evt_t*) { ++ownNameCalls; });

  EXPECT_TRUE(Frame({0x80, 0x03, 0x03, 0x04}, {0x05, 0x13, 0x02}).Dispatch());
  EXPECT_EQ(disconnected, (std::vector<unsigned int>{5}));
  EXPECT_EQ(ownNameCalls, 0);
}

TEST_F(BgApiDispatchTest, AttributeFoundAndCommandRowsPublishTheirNames) {
  int found = 0;
  int defaults = 0;
  ScopedSubscription<const ble_msg_attclient_attribute_found_evt_t*> attributeFound(
      "ble_evt_attclient_attribute_found", [&](const ble_msg_attclient_attribute_found_evt_t* record) {
        ++found;
        EXPECT_EQ(record->properties, 0x12);
        EXPECT_EQ(record->uuid.len, 0);
      });
  ScopedSubscription<const void*> commandRows("ble_default", [&](const void* payload) {
    EXPECT_EQ(payload, nullptr);
    ++defaults;
  });
  EXPECT_TRUE(Frame({0x80, 0x07, 0x04, 0x03}, {0x01, 0x02, 0x00, 0x03, 0x00, 0x12, 0x00}).Dispatch());
  BgMessageTable[0].handler(nullptr);
  BgMessageTable[kBgCommandCount - 1].handler(nullptr);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(defaults, 2);
}

// Notifications reach subscribers on the message-queue thread with their own
// copy, after the reader has reused its buffer; notifications and read
// results look the same.
TEST_F(BgApiDispatchTest, AttributeValueIsCopiedAndPublishedFromTheMessageQueue) {
  auto queue = std::make_shared<MessageQueue>();
  SetMessageQueue(queue);

  struct Received {
    std::thread::id thread;
    uint32_t connection;
    uint16_t attHandle;
    Bytes data;
  };
  std::vector<Received> received;
  std::promise<void> bothArrived;
  ScopedSubscription<const CommonDataNotificationEvent_t*> subscription(
      "common_evt_data_notification", [&](const CommonDataNotificationEvent_t* event) {
        received.push_back({std::this_thread::get_id(), event->connection, event->attHandle, event->data});
        if (received.size() == 2) {
          bothArrived.set_value();
        }
      });

  // Hold the worker until the frames' buffers have been overwritten.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  queue->Post([released] { released.wait(); });

  Frame notification({0x80, 0x08, 0x04, 0x05}, {0x03, 0x2A, 0x00, 0x01, 0x03, 0xDE, 0xAD, 0xBE});
  Frame readResult({0x80, 0x06, 0x04, 0x05}, {0x03, 0x2A, 0x00, 0x00, 0x01, 0x77});
  EXPECT_TRUE(notification.Dispatch());
  EXPECT_TRUE(readResult.Dispatch());
  std::memset(notification.payload.get(), 0, notification.size);
  std::memset(readResult.payload.get(), 0, readResult.size);
  release.set_value();

  ASSERT_EQ(bothArrived.get_future().wait_for(kGuard), std::future_status::ready);
  ASSERT_EQ(received.size(), 2u);
  for (const Received& r : received) {
    EXPECT_NE(r.thread, std::this_thread::get_id());
    EXPECT_EQ(r.connection, 3u);
    EXPECT_EQ(r.attHandle, 0x002A);
  }
  EXPECT_EQ(received[0].data, (Bytes{0xDE, 0xAD, 0xBE}));
  EXPECT_EQ(received[1].data, (Bytes{0x77}));
}

// Without a message queue (library closing or never opened) the value is
// lost, but the reader thread that dispatches must go on.
TEST_F(BgApiDispatchTest, AttributeValueWithoutMessageQueueIsLoggedAndDropped) {
  SetMessageQueue(nullptr);
  LogCapture log;
  EXPECT_NO_THROW(Frame({0x80, 0x06, 0x04, 0x05}, {0x01, 0x10, 0x00, 0x01, 0x01, 0x55}).Dispatch());
  EXPECT_TRUE(log.HasContaining(Logger::ERROR, "Bluetooth device is not open"));

  unsigned int disconnected = 0;
  ScopedSubscription<unsigned int> common("common_evt_disconnect",
                                          [&](unsigned int connection) { disconnected = connection; });
  EXPECT_TRUE(Frame({0x80, 0x03, 0x03, 0x04}, {0x01, 0x13, 0x02}).Dispatch());
  EXPECT_EQ(disconnected, 1u);
}

// Records are read in place, so a frame that cannot hold its record must
// never reach a handler.
TEST_F(BgApiDispatchTest, TruncatedFramesOfEveryMessageAreDroppedWithTheirBytesLogged) {
  LogCapture log;
  for (int i = kBgFirstResponseRow; i < kBgMessageCount; ++i) {
    const BgMessageDef& row = BgMessageTable[i];
    if (row.recordSize == 0) {
      continue;
    }
    Bytes payload(row.recordSize - 1u, 0x00);
    const Frame frame({row.header[0], row.header[1], row.header[2], row.header[3]}, payload);
    EXPECT_FALSE(frame.Dispatch()) << row.name;
  }
  const auto errors = log.Lines(Logger::ERROR);
  ASSERT_FALSE(errors.empty());
  EXPECT_TRUE(log.HasContaining(Logger::ERROR, "ble_evt_gap_scan_response"));
  EXPECT_TRUE(log.HasContaining(Logger::ERROR, "Header: 80 0b 06 00"));

  int calls = 0;
  ScopedSubscription<const ble_msg_gap_scan_response_evt_t*> subscription(
      "ble_evt_gap_scan_response", [&](const ble_msg_gap_scan_response_evt_t*) { ++calls; });
  EXPECT_FALSE(Frame({0x80, 0x0B, 0x06, 0x00}, {0xC4, 0x00, 0x11}).Dispatch());
  EXPECT_FALSE(BgDispatch(kScanResponseHeader.data(), nullptr, 0));
  EXPECT_EQ(calls, 0);
}

TEST_F(BgApiDispatchTest, ArrayLengthRunningPastThePayloadIsDropped) {
  LogCapture log;
  int scanCalls = 0;
  int groupCalls = 0;
  ScopedSubscription<const ble_msg_gap_scan_response_evt_t*> scan(
      "ble_evt_gap_scan_response", [&](const ble_msg_gap_scan_response_evt_t*) { ++scanCalls; });
  ScopedSubscription<const ble_msg_attclient_group_found_evt_t*> group(
      "ble_evt_attclient_group_found", [&](const ble_msg_attclient_group_found_evt_t*) { ++groupCalls; });

  EXPECT_FALSE(Frame(kScanResponseHeader, ScanResponsePayload(0x20, 5)).Dispatch());
  EXPECT_FALSE(Frame(kScanResponseHeader, ScanResponsePayload(0xFF, 0)).Dispatch());
  EXPECT_FALSE(Frame({0x80, 0x08, 0x04, 0x02}, {0x00, 0x10, 0x00, 0x1F, 0x00, 0x10, 0x0D, 0x18}).Dispatch());
  EXPECT_EQ(scanCalls, 0);
  EXPECT_EQ(groupCalls, 0);
  EXPECT_EQ(log.Lines(Logger::ERROR).size(), 3u);
  EXPECT_TRUE(log.HasContaining(Logger::ERROR, "ble_evt_attclient_group_found"));
  EXPECT_TRUE(log.HasContaining(Logger::ERROR, "Data: 00 10 00 1f 00 10 0d 18"));

  // The next well-formed frame goes through.
  EXPECT_TRUE(Frame(kScanResponseHeader, ScanResponsePayload(5, 5)).Dispatch());
  EXPECT_TRUE(Frame(kScanResponseHeader, ScanResponsePayload(0, 0)).Dispatch());
  EXPECT_EQ(scanCalls, 2);
}

TEST_F(BgApiDispatchTest, TrailingBytesAfterTheRecordAreIgnored) {
  int calls = 0;
  ScopedSubscription<const ble_msg_gap_scan_response_evt_t*> scan("ble_evt_gap_scan_response",
                                                                  [&](const ble_msg_gap_scan_response_evt_t* record) {
                                                                    ++calls;
                                                                    EXPECT_EQ(record->data.len, 2);
                                                                  });
  EXPECT_TRUE(Frame(kScanResponseHeader, ScanResponsePayload(2, 6)).Dispatch());
  EXPECT_EQ(calls, 1);
}

TEST_F(BgApiDispatchTest, UnknownHeaderIsNotDispatched) {
  LogCapture log;
  EXPECT_FALSE(Frame({0x00, 0x00, 0x00, 0x15}, {}).Dispatch());
  EXPECT_FALSE(Frame({0x80, 0x01, 0x08, 0x00}, {0x00}).Dispatch());
  EXPECT_EQ(log.Lines(Logger::ERROR).size(), 2u);
}

TEST_F(BgApiDispatchTest, SubscriberExceptionsReachTheCaller) {
  ScopedSubscription<const void*> hello("ble_rsp_system_hello",
                                        [](const void*) { throw std::runtime_error("subscriber failed"); });
  EXPECT_THROW(Frame({0x00, 0x00, 0x00, 0x01}, {}).Dispatch(), std::runtime_error);
}

}  // namespace
}  // namespace lumen::details
