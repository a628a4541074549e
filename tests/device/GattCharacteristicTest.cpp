#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/CallbacksManager.h"
#include "core/CommonDataNotificationEvent.h"
#include "core/MessageQueue.h"
#include "lumen/BGLibError.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Errors.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"
#include "scan/FakeProvider.h"
#include "support/CallOutcome.h"
#include "support/LogCapture.h"

namespace lumen {
namespace {

using details::CommonDataNotificationEvent_t;
using details::KesBluetoothSDKLibError;
using testing::FakeCall;
using testing::FakeCharacteristic;
using testing::FakeProvider;
using testing::FakeService;
using testing::LogCapture;
using testing::ManualClocks;
using testing::ScopedFakeProvider;
using Bytes = std::vector<uint8_t>;

const Address kMac({0x01, 0x22, 0x33, 0x44, 0x55, 0x66}, Address::Random);
const Uuid kService("6e400001-b5a3-f393-e0a9-e50e24dcca9e");
const Uuid kRx("6e400002-b5a3-f393-e0a9-e50e24dcca9e");
const Uuid kTx("6e400003-b5a3-f393-e0a9-e50e24dcca9e");
constexpr uint16_t kTxValueHandle = 0x0010;
constexpr uint16_t kRxValueHandle = 0x0014;

using testing::ErrorText;

// Fails the first `times` calls of slot with code.
FakeProvider::Hook FailFirst(const std::string& slot, int code, int times) {
  auto left = std::make_shared<std::atomic<int>>(times);
  return [slot, code, left](const FakeCall& call) {
    if (call.slot == slot && left->fetch_sub(1) > 0) {
      throw details::BGLibError("radio refused", code);
    }
  };
}

class GattCharacteristicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fake->SetServices(
        kMac, {FakeService{0x000C,
                           0x0020,
                           kService,
                           {FakeCharacteristic{kTxValueHandle, kTx}, FakeCharacteristic{kRxValueHandle, kRx}}}});
    m_link = testing::ConnectAdvertised(*m_fake, kMac);
    m_service = m_link.device->GetService(kService);
    m_tx = m_service->GetCharacteristic(kTx);
    m_fake->ClearCalls();
  }
  void TearDown() override {
    m_tx.reset();
    m_service.reset();
    m_link = {};
  }

  ScopedFakeProvider m_fake;
  ManualClocks m_clocks;
  testing::FakeLink m_link;  // the connection made on set-up
  std::unique_ptr<GattService> m_service;
  std::unique_ptr<GattCharacteristic> m_tx;
};

TEST_F(GattCharacteristicTest, ServiceListsItsCharacteristicsInDiscoveryOrder) {
  EXPECT_EQ(m_service->uuid(), kService);
  EXPECT_EQ(m_service->GetCharacteristicUuids(), (std::vector<Uuid>{kTx, kRx}));
  EXPECT_EQ(m_tx->uuid(), kTx);
}

TEST_F(GattCharacteristicTest, UnknownCharacteristicIsRefused) {
  EXPECT_EQ(ErrorText([&] { m_service->GetCharacteristic(Uuid(uint16_t{0x2A00})); }), "service UUID is not known");
}

// --- notifications on and off -------------------------------------------------------

TEST_F(GattCharacteristicTest, EnablingWithoutACallbackThrowsAndWritesNothing) {
  EXPECT_EQ(ErrorText([&] { m_tx->EnableCharacteristicNotification(true); }), "notification callback is not set");
  EXPECT_EQ(ErrorText([&] { m_tx->EnableCharacteristicNotification(false); }), "notification callback is not set");
  EXPECT_EQ(m_fake->Count("AttributeWrite"), 0U);
}

TEST_F(GattCharacteristicTest, EnablingWritesTheConfigurationRightAfterTheValue) {
  m_tx->SetCharacteristicChangedCallback([](const Bytes&) {});
  m_tx->EnableCharacteristicNotification(true);
  m_tx->EnableCharacteristicNotification(false);
  const auto writes = m_fake->Calls("AttributeWrite");
  ASSERT_EQ(writes.size(), 2U);
  EXPECT_EQ(writes[0].attHandle, kTxValueHandle + 1);
  EXPECT_EQ(writes[0].value, (Bytes{0x01, 0x00}));
  EXPECT_EQ(writes[1].attHandle, kTxValueHandle + 1);
  EXPECT_EQ(writes[1].value, (Bytes{0x00, 0x00}));
}

TEST_F(GattCharacteristicTest, EnablingRecoversFromAnInvalidHandleToo) {
  m_tx->SetCharacteristicChangedCallback([](const Bytes&) {});
  m_fake->SetHook(FailFirst("AttributeWrite", details::kErrorInvalidHandle, 1));
  m_tx->EnableCharacteristicNotification(true);
  EXPECT_EQ(m_fake->Count("AttributeWrite"), 2U);
}

// --- reads and writes ----------------------------------------------------------------

TEST_F(GattCharacteristicTest, ShortAndLongReadsUseTheirOwnRadioOperations) {
  m_fake->SetReadAnswer([](const FakeCall& call) { return Bytes{static_cast<uint8_t>(call.attHandle)}; });
  EXPECT_EQ(m_tx->ReadValue(true), Bytes{kTxValueHandle});
  EXPECT_EQ(m_tx->ReadValue(false), Bytes{kTxValueHandle});
  EXPECT_EQ(m_fake->Slots(), (std::vector<std::string>{"ReadByHandle", "ReadLong"}));
}

TEST_F(GattCharacteristicTest, InvalidHandleReadIsRepeatedOnceAfterTheCacheIsRebuilt) {
  LogCapture log;
  m_fake->SetReadAnswer([](const FakeCall&) { return Bytes{0x2A}; });
  m_fake->SetHook(FailFirst("ReadByHandle", details::kErrorInvalidHandle, 1));
  EXPECT_EQ(m_tx->ReadValue(true), Bytes{0x2A});
  EXPECT_EQ(m_fake->Slots(), (std::vector<std::string>{"ReadByHandle", "GetListOfServices", "GetListOfCharacteristics",
                                                       "ReadByHandle"}));
  EXPECT_TRUE(
      log.Has(Logger::WARNING, "GATT operation got 'invalid handle', so reset the device GATT database and try again"));
}

TEST_F(GattCharacteristicTest, SecondInvalidHandleReachesTheCaller) {
  m_fake->SetHook(FailFirst("ReadByHandle", details::kErrorInvalidHandle, 2));
  try {
    m_tx->ReadValue(true);
    FAIL();
  } catch (const KesBluetoothSDKLibError& e) {
    EXPECT_EQ(e.code(), details::kErrorInvalidHandle);
  }
  EXPECT_EQ(m_fake->Count("ReadByHandle"), 2U);
}

TEST_F(GattCharacteristicTest, ReadFailingWithAnyOtherCodeIsNotRepeated) {
  m_fake->SetHook(FailFirst("ReadByHandle", 0x0401, 1));
  EXPECT_THROW(m_tx->ReadValue(true), KesBluetoothSDKLibError);
  EXPECT_EQ(m_fake->Count("ReadByHandle"), 1U);
  EXPECT_EQ(m_fake->Count("GetListOfServices"), 0U);
}

TEST_F(GattCharacteristicTest, ShortWriteWithoutAckIsAWriteCommandAtTheValueHandle) {
  m_tx->WriteValue({1, 2, 3}, true, false);
  const auto writes = m_fake->Calls("WriteCommand");
  ASSERT_EQ(writes.size(), 1U);
  EXPECT_EQ(writes[0].attHandle, kTxValueHandle);
  EXPECT_EQ(writes[0].value, (Bytes{1, 2, 3}));
}

TEST_F(GattCharacteristicTest, UnsupportedWritesThrowWithoutRadioTraffic) {
  EXPECT_THROW(m_tx->WriteValue({1}, true, true), details::NotImplementedException);
  // A long write used to return as if it had written.
  EXPECT_THROW(m_tx->WriteValue({1}, false, false), details::NotImplementedException);
  EXPECT_THROW(m_tx->WriteValue({1}, false, true), details::NotImplementedException);
  EXPECT_TRUE(m_fake->Calls().empty());
  EXPECT_STREQ(details::NotImplementedException().what(), "Function not yet implemented");
}

// --- lifetimes --------------------------------------------------------------------------

TEST_F(GattCharacteristicTest, OperationsAfterTheDeviceIsGoneSaySo) {
  m_link.record.reset();
  m_link.device.reset();
  EXPECT_EQ(ErrorText([&] { m_tx->ReadValue(true); }), "BluetoothDevice no longer exists");
  EXPECT_EQ(ErrorText([&] { m_service->GetCharacteristicUuids(); }), "BluetoothDevice no longer exists");
  EXPECT_EQ(ErrorText([&] { m_service->GetCharacteristic(kRx); }), "BluetoothDevice no longer exists");
}

TEST_F(GattCharacteristicTest, CharacteristicOfAnUnconnectedDeviceCannotBeMade) {
  m_link.device->Disconnect();
  const std::string text = ErrorText([&] { m_service->GetCharacteristic(kRx); });
  EXPECT_EQ(text.rfind("handle(+", 0), 0U) << text;
  EXPECT_NE(text.find(") not connected"), std::string::npos) << text;
}

TEST_F(GattCharacteristicTest, ObjectsFromAnEarlierConnectionFailAfterReconnecting) {
  m_link.device->Disconnect();
  m_link.device->Connect();
  const std::string text = ErrorText([&] { m_tx->ReadValue(true); });
  EXPECT_NE(text.find(") not connected"), std::string::npos) << text;
  // A fresh service object works on the new connection.
  EXPECT_NO_THROW(m_link.device->GetService(kService)->GetCharacteristic(kTx)->ReadValue(true));
}

// --- notification delivery -------------------------------------------------------------

class NotificationTest : public GattCharacteristicTest {
 protected:
  // Publishes one notification from the queue's worker, as the backends do.
  void Notify(uint32_t connection, uint16_t attHandle, Bytes data) {
    m_queue.Post([connection, attHandle, data = std::move(data)] {
      const CommonDataNotificationEvent_t event{connection, attHandle, data};
      details::Publish<const CommonDataNotificationEvent_t*>("common_evt_data_notification", &event);
    });
  }
  // Returns once everything posted before has run.
  void Drain() {
    std::promise<void> done;
    m_queue.Post([&done] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }

  details::MessageQueue m_queue;
};

TEST_F(NotificationTest, NotificationReachesTheCallbackOnTheQueueThread) {
  const uint32_t native = m_link.native;
  std::promise<std::pair<Bytes, std::thread::id>> received;
  m_tx->SetCharacteristicChangedCallback([&received](const Bytes& data) {
    received.set_value({data, std::this_thread::get_id()});
  });
  m_tx->EnableCharacteristicNotification(true);
  std::promise<std::thread::id> worker;
  m_queue.Post([&worker] { worker.set_value(std::this_thread::get_id()); });

  Notify(native + 1, kTxValueHandle, {0xEE});  // same handle, other connection
  Notify(native, kRxValueHandle, {0xDD});      // same connection, other characteristic
  Notify(native, kTxValueHandle, {0x01, 0x02});

  auto future = received.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto [data, thread] = future.get();
  EXPECT_EQ(data, (Bytes{0x01, 0x02}));
  EXPECT_EQ(thread, worker.get_future().get());
}

TEST_F(NotificationTest, DestroyedCharacteristicHearsNoMore) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  m_tx->SetCharacteristicChangedCallback([calls](const Bytes&) { ++*calls; });
  Notify(m_link.native, kTxValueHandle, {0x01});
  Drain();
  EXPECT_EQ(calls->load(), 1);
  m_tx.reset();
  Notify(m_link.native, kTxValueHandle, {0x02});
  Drain();
  EXPECT_EQ(calls->load(), 1);
}

}  // namespace
}  // namespace lumen
