#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/BluetoothSDK.h"
#include "lumen/BGLibError.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Errors.h"
#include "lumen/GattService.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"
#include "scan/FakeProvider.h"
#include "support/CallOutcome.h"
#include "support/LogCapture.h"

namespace lumen {
namespace {

using details::AdvPacket;
using details::DeviceRecord;
using details::KesBluetoothSDKLibError;
using testing::FakeCall;
using testing::FakeCharacteristic;
using testing::FakeService;
using testing::LogCapture;
using testing::ManualClocks;
using testing::ScopedFakeProvider;

const Address kMac({0x01, 0x22, 0x33, 0x44, 0x55, 0x66}, Address::Random);
const Uuid kBattery(uint16_t{0x180F});
const Uuid kHeartRate(uint16_t{0x180D});
const Uuid kLevel(uint16_t{0x2A19});
const Uuid kMeasurement(uint16_t{0x2A37});
const Uuid kLocation(uint16_t{0x2A38});

using testing::ErrorText;

class BluetoothDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_fake->SetServices(kMac,
                        {FakeService{0x0001,
                                     0x000F,
                                     kHeartRate,
                                     {FakeCharacteristic{0x0003, kMeasurement}, FakeCharacteristic{0x0006, kLocation}}},
                         FakeService{0x0010, 0x0020, kBattery, {FakeCharacteristic{0x0012, kLevel}}}});
    m_record = DeviceRecord::Create(std::make_shared<const AdvPacket>(-70, kMac, 0, 0, std::vector<unsigned char>{}));
    m_device = m_record->device();
  }
  void TearDown() override {
    m_device.reset();
    m_record.reset();
  }

  ScopedFakeProvider m_fake;
  ManualClocks m_clocks;
  std::shared_ptr<DeviceRecord> m_record;
  std::shared_ptr<BluetoothDevice> m_device;
};

// --- connecting -----------------------------------------------------------------

TEST_F(BluetoothDeviceTest, ConnectHandsTheAdvertHistoryAndFixedParametersToTheRadio) {
  m_device->UpdateRSSI(ManualClocks::SteadyMs() + 1, -60);
  m_device->UpdateRSSI(ManualClocks::SteadyMs() + 2, -50);
  m_device->Connect();

  const auto connects = m_fake->Calls("ConnectDirect");
  ASSERT_EQ(connects.size(), 1U);
  const FakeCall& call = connects[0];
  EXPECT_EQ(call.address, kMac);
  ASSERT_EQ(call.rssi.size(), 3U);
  EXPECT_EQ(call.rssi[0].rssi, -70);  // oldest first
  EXPECT_EQ(call.rssi[2].rssi, -50);
  EXPECT_EQ(call.a, 20);   // 25 ms
  EXPECT_EQ(call.b, 40);   // 50 ms
  EXPECT_EQ(call.c, 500);  // 5 s
  EXPECT_EQ(call.d, 0);
  EXPECT_TRUE(m_device->IsConnected());
  EXPECT_EQ(m_fake->Calls("GetListOfServices").at(0).handleId, call.handleId);
  EXPECT_EQ(m_device->GetServiceUuids(), (std::vector<Uuid>{kHeartRate, kBattery}));
  EXPECT_EQ(m_fake->Count("GetListOfServices"), 1U);
}

TEST_F(BluetoothDeviceTest, EveryConnectionAttemptGetsAFreshHandle) {
  m_device->Connect();
  m_device->Disconnect();
  m_device->Connect();
  const auto connects = m_fake->Calls("ConnectDirect");
  ASSERT_EQ(connects.size(), 2U);
  EXPECT_NE(connects[0].handleId, connects[1].handleId);
  EXPECT_EQ(m_fake->Calls("Disconnect").at(0).handleId, connects[0].handleId);
}

TEST_F(BluetoothDeviceTest, FailedConnectIsCountedAndPropagated) {
  m_fake->FailConnect(kMac, 0x0186, "connection timed out");
  try {
    m_device->Connect();
    FAIL();
  } catch (const KesBluetoothSDKLibError& e) {
    EXPECT_EQ(e.code(), 0x0186);
  }
  EXPECT_FALSE(m_device->IsConnected());
  EXPECT_EQ(m_record->failedConnectionAttempts(), 1);
  EXPECT_EQ(m_fake->Count("GetListOfServices"), 0U);
  m_fake->ClearConnectFailure(kMac);
  m_device->Connect();
  EXPECT_EQ(m_record->failedConnectionAttempts(), 0);
}

TEST_F(BluetoothDeviceTest, ConnectOnAConnectedDeviceOnlyRediscoversServices) {
  LogCapture log;
  m_device->Connect();
  m_device->Connect();
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 1U);
  EXPECT_EQ(m_fake->Count("GetListOfServices"), 2U);
  EXPECT_TRUE(log.Has(Logger::DEBUG, "do not connect because already connected, MAC = " + kMac.ToString()));
}

TEST_F(BluetoothDeviceTest, ConnectAfterTheRecordIsGoneFailsInsteadOfPretending) {
  m_record.reset();
  EXPECT_EQ(ErrorText([&] { m_device->Connect(); }), "DeviceRecord object is not valid");
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 0U);
  EXPECT_FALSE(m_device->IsConnected());
}

TEST_F(BluetoothDeviceTest, FailedDiscoveryDuringConnectLeavesTheConnectionOpen) {
  LogCapture log;
  m_fake->SetHook([](const FakeCall& call) {
    if (call.slot == "GetListOfServices") {
      throw KesBluetoothSDKLibError("procedure timed out", 0x0185);
    }
  });
  EXPECT_THROW(m_device->Connect(), KesBluetoothSDKLibError);
  EXPECT_TRUE(m_device->IsConnected());
  EXPECT_EQ(m_record->failedConnectionAttempts(), 0);
  EXPECT_TRUE(log.Has(Logger::INFO, "Failed to renew service items during a connection attempt"));
}

TEST_F(BluetoothDeviceTest, ConnectRecordsTheAttemptTimeEvenWhenItFails) {
  ManualClocks::AdvanceMs(1234);
  m_fake->FailConnect(kMac);
  EXPECT_THROW(m_device->Connect(), KesBluetoothSDKLibError);
  const auto expected =
      std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>(ManualClocks::SystemTicks())));
  EXPECT_EQ(BluetoothDevice::GetTimeLastAttemptedConnection(), expected);
}

// --- RSSI -------------------------------------------------------------------------

TEST_F(BluetoothDeviceTest, MeanRssiIsThatOfTheNewestThreeSamples) {
  m_device->UpdateRSSI(ManualClocks::SteadyMs(), -60);
  m_device->UpdateRSSI(ManualClocks::SteadyMs(), -50);
  m_device->UpdateRSSI(ManualClocks::SteadyMs(), -40);
  EXPECT_DOUBLE_EQ(m_device->MeanRssi(), -50.0);
}

TEST_F(BluetoothDeviceTest, FirstRssiOnAConnectionBringsTheAdvertHistoryAlong) {
  m_device->UpdateRSSI(ManualClocks::SteadyMs() + 1, -65);
  m_device->Connect();
  m_fake->SetRssi(-42);
  ManualClocks::AdvanceMs(50);

  std::vector<TimestampedRSSI> samples;
  ASSERT_TRUE(m_device->GetRSSIFromConnection(samples));
  ASSERT_EQ(samples.size(), 3U);
  EXPECT_EQ(samples[0].rssi, -70);
  EXPECT_EQ(samples[1].rssi, -65);
  EXPECT_FALSE(samples[1].fromConnection);
  EXPECT_EQ(samples[2].rssi, -42);
  EXPECT_TRUE(samples[2].fromConnection);
  EXPECT_EQ(samples[2].timestamp, ManualClocks::SteadyMs());

  ASSERT_TRUE(m_device->GetRSSIFromConnection(samples));
  ASSERT_EQ(samples.size(), 1U);
  EXPECT_EQ(samples[0].rssi, -42);
  EXPECT_DOUBLE_EQ(m_device->MeanRssi(), (-42.0 - 42.0 - 65.0) / 3);  // connection samples count too
}

TEST_F(BluetoothDeviceTest, HistoryComesAgainOnTheNextConnection) {
  m_device->Connect();
  m_fake->SetRssi(-42);
  std::vector<TimestampedRSSI> samples;
  ASSERT_TRUE(m_device->GetRSSIFromConnection(samples));
  m_fake->DisconnectFromRemote(m_fake->Calls("ConnectDirect").at(0).handleId);  // lost without Disconnect
  ASSERT_FALSE(m_device->IsConnected());
  m_device->Connect();
  ASSERT_TRUE(m_device->GetRSSIFromConnection(samples));
  EXPECT_GT(samples.size(), 1U);
}

TEST_F(BluetoothDeviceTest, RssiFromConnectionFailsWithoutAConnectionOrAValue) {
  std::vector<TimestampedRSSI> samples = {TimestampedRSSI{}};
  EXPECT_FALSE(m_device->GetRSSIFromConnection(samples));
  EXPECT_TRUE(samples.empty());
  EXPECT_EQ(m_fake->Count("GetRSSI"), 0U);
  m_device->Connect();
  m_fake->SetRssi(std::nullopt);
  EXPECT_FALSE(m_device->GetRSSIFromConnection(samples));
  EXPECT_TRUE(samples.empty());
}

// --- advertisement queries --------------------------------------------------------

TEST_F(BluetoothDeviceTest, AdvertisementQueriesReadTheRecord) {
  const Uuid advertised("0b9db0e5-c5b3-4043-8294-44d8112adc54");
  EXPECT_FALSE(m_device->HasUuidInAdvert());
  m_record->AddAdvertWithoutUuid();
  m_record->AddAdvertWithoutUuid();
  EXPECT_EQ(m_device->GetConsecutiveAdvertsWithoutUuidCount(), 2U);
  m_record->AddAdvertisedUuid(advertised);
  EXPECT_TRUE(m_device->HasUuidInAdvert());
  EXPECT_TRUE(m_device->HasAdvertUuid(advertised));
  EXPECT_FALSE(m_device->HasAdvertUuid(kBattery));
  std::vector<Uuid> uuids = {kBattery};
  m_device->GetAdvertUuids(uuids);
  EXPECT_EQ(uuids, std::vector<Uuid>{advertised});
  EXPECT_TRUE(m_device->IsConnectable());
  EXPECT_TRUE(m_device->IsRandomAddress());
  EXPECT_EQ(m_device->address(), kMac);
}

TEST_F(BluetoothDeviceTest, NonConnectableAdvertIsReported) {
  const auto record = DeviceRecord::Create(std::make_shared<const AdvPacket>(
      -70, Address({9, 0, 0, 0, 0, 0}, Address::Public), 2, 0, std::vector<unsigned char>{0x02, 0x01, 0x06}));
  EXPECT_FALSE(record->device()->IsConnectable());
  EXPECT_FALSE(record->device()->IsRandomAddress());
  EXPECT_EQ(record->device()->advertisement_data(), (std::vector<uint8_t>{0x02, 0x01, 0x06}));
}

TEST_F(BluetoothDeviceTest, QueriesAfterTheRecordIsGoneWarnAndAnswerNeutrally) {
  m_record->AddAdvertWithoutUuid();
  m_record.reset();
  LogCapture log;
  EXPECT_EQ(m_device->address(), Address());
  EXPECT_TRUE(m_device->advertisement_data().empty());
  EXPECT_FALSE(m_device->HasUuidInAdvert());
  EXPECT_EQ(m_device->GetConsecutiveAdvertsWithoutUuidCount(), 0U);
  EXPECT_FALSE(m_device->IsConnectable());
  EXPECT_DOUBLE_EQ(m_device->MeanRssi(), 0.0);
  EXPECT_EQ(log.Count(Logger::WARNING, "DeviceRecord object is not valid"), 6U);
}

TEST_F(BluetoothDeviceTest, DetectUuidIsUnsetUntilSet) {
  Uuid uuid(uint16_t{0x1234});
  EXPECT_FALSE(m_device->GetServiceUuidUsedToDetect(uuid));
  EXPECT_EQ(uuid, Uuid(uint16_t{0x1234}));
  m_device->SetServiceUuidUsedToDetect(kBattery);
  EXPECT_TRUE(m_device->GetServiceUuidUsedToDetect(uuid));
  EXPECT_EQ(uuid, kBattery);
}

// --- GATT cache -------------------------------------------------------------------

TEST_F(BluetoothDeviceTest, LookupsDiscoverOnlyWhenTheCacheIsEmpty) {
  m_device->Connect();
  m_fake->ClearCalls();
  EXPECT_TRUE(m_device->HasServices());
  EXPECT_TRUE(m_device->HasService(kBattery));
  EXPECT_FALSE(m_device->ServicesContainUUID(Uuid(uint32_t{0x180F})));  // sizes never mix
  std::vector<Uuid> characteristics;
  m_device->GetCharacteristicUUIDs(kHeartRate, characteristics);
  m_device->GetCharacteristicUUIDs(kHeartRate, characteristics);
  EXPECT_EQ(characteristics, (std::vector<Uuid>{kMeasurement, kLocation, kMeasurement, kLocation}));
  EXPECT_EQ(m_fake->Slots(), std::vector<std::string>{"GetListOfCharacteristics"});
  const FakeCall range = m_fake->Calls("GetListOfCharacteristics").at(0);
  EXPECT_EQ(range.a, 0x0001);
  EXPECT_EQ(range.b, 0x000F);
  EXPECT_EQ(m_device->GetCharacteristicHandle(kBattery, kLevel), 0x0012);
}

TEST_F(BluetoothDeviceTest, UnknownServiceOrCharacteristicIsRefused) {
  m_device->Connect();
  EXPECT_EQ(ErrorText([&] { m_device->GetCharacteristicHandle(kBattery, kMeasurement); }), "service UUID is not known");
  EXPECT_EQ(ErrorText([&] { m_device->GetCharacteristicHandle(Uuid(uint16_t{0x1811}), kLevel); }), "service not found");
  LogCapture log;
  EXPECT_EQ(ErrorText([&] { m_device->GetService(Uuid(uint16_t{0x1811})); }), "service UUID not found");
  EXPECT_TRUE(log.Has(Logger::WARNING,
                      "service UUID is no longer present on the device, so it has been removed from the GATT database "
                      "of the device"));
}

TEST_F(BluetoothDeviceTest, GetServiceOfADeviceWhoseRecordIsGoneFails) {
  m_device->Connect();
  m_record.reset();
  EXPECT_EQ(ErrorText([&] { m_device->GetService(kBattery); }), "device no longer exists");
}

TEST_F(BluetoothDeviceTest, ResettingTheDatabaseRediscoversServicesAndThatServicesCharacteristics) {
  m_device->Connect();
  std::vector<Uuid> characteristics;
  m_device->GetCharacteristicUUIDs(kHeartRate, characteristics);
  m_fake->ClearCalls();
  m_device->ResetGattDatabaseForService(kBattery);
  EXPECT_EQ(m_fake->Slots(), (std::vector<std::string>{"GetListOfServices", "GetListOfCharacteristics"}));
  EXPECT_EQ(m_fake->Calls("GetListOfCharacteristics").at(0).a, 0x0010);
  // The other service's characteristics went with the cache.
  m_device->GetCharacteristicUUIDs(kHeartRate, characteristics);
  EXPECT_EQ(m_fake->Count("GetListOfCharacteristics"), 2U);
}

TEST_F(BluetoothDeviceTest, GattCacheOutlivesTheConnection) {
  m_device->Connect();
  m_device->Disconnect();
  EXPECT_FALSE(m_device->IsConnected());
  EXPECT_TRUE(m_device->ServicesContainUUID(kBattery));
}

// --- destruction ------------------------------------------------------------------

TEST_F(BluetoothDeviceTest, DestroyingAConnectedDeviceDisconnectsIt) {
  m_device->Connect();
  const int64_t handle = m_fake->Calls("ConnectDirect").at(0).handleId;
  m_record.reset();
  m_device.reset();
  ASSERT_EQ(m_fake->Count("Disconnect"), 1U);
  EXPECT_EQ(m_fake->Calls("Disconnect").at(0).handleId, handle);
}

TEST_F(BluetoothDeviceTest, DestroyingAConnectedDeviceWhoseRadioIsGoneLogsAndDoesNotThrow) {
  m_device->Connect();
  details::ReleaseBluetoothSDK();
  LogCapture log;
  m_record.reset();
  EXPECT_NO_THROW(m_device.reset());
  EXPECT_TRUE(
      log.Has(Logger::ERROR, "caught exception in BluetoothDevice::~BluetoothDevice: BluetoothSDK not initialized"));
}

TEST_F(BluetoothDeviceTest, DestroyingAConnectedDeviceNamesABluegigaError) {
  m_device->Connect();
  m_fake->SetHook([](const FakeCall& call) {
    if (call.slot == "Disconnect") {
      throw details::BGLibError("disconnect failed", 0x0186);
    }
  });
  LogCapture log;
  m_record.reset();
  EXPECT_NO_THROW(m_device.reset());
  EXPECT_TRUE(log.HasContaining(Logger::ERROR, "caught BGLibError exception in BluetoothDevice::~BluetoothDevice: "));
}

}  // namespace
}  // namespace lumen
