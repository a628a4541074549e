#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lumen/BluetoothDevice.h"
#include "lumen/Errors.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"
#include "scan/FakeProvider.h"
#include "scan/ScanStatistics.h"
#include "support/CallOutcome.h"
#include "support/LogCapture.h"

namespace lumen {
namespace {

using details::AdvPacket;
using details::DeviceRecord;
using details::ScanStatistics;
using testing::LogCapture;
using testing::ManualClocks;

Address MakeAddress(uint8_t last, Address::Type type = Address::Random) {
  return Address({last, 0x22, 0x33, 0x44, 0x55, 0x66}, type);
}

std::shared_ptr<const AdvPacket> Packet(uint8_t last, int8_t rssi, std::vector<unsigned char> data = {}) {
  return std::make_shared<const AdvPacket>(rssi, MakeAddress(last), 0, 0, std::move(data));
}

class DeviceRecordTest : public ::testing::Test {
 protected:
  ManualClocks m_clocks;
};

TEST_F(DeviceRecordTest, NewRecordHoldsOneAdvertSampleAtCreation) {
  const auto record = DeviceRecord::Create(Packet(1, -70));
  ASSERT_EQ(record->SampleCount(), 1U);
  EXPECT_EQ(record->lastAdvertMs(), ManualClocks::SteadyMs());
  EXPECT_DOUBLE_EQ(record->MeanRssi(), -70.0);
  EXPECT_EQ(record->address(), MakeAddress(1));
  ASSERT_NE(record->device(), nullptr);
  EXPECT_EQ(record->device()->address(), MakeAddress(1));
}

TEST_F(DeviceRecordTest, MeanUsesOnlyTheNewestThreeSamples) {
  const auto record = DeviceRecord::Create(Packet(1, -70));
  for (int8_t rssi : {-60, -50, -40}) {
    record->AddSample({ManualClocks::SteadyMs(), rssi, false});
  }
  EXPECT_DOUBLE_EQ(record->MeanRssi(), -50.0);
}

TEST_F(DeviceRecordTest, CachedMeanFollowsANewSample) {
  const auto record = DeviceRecord::Create(Packet(1, -70));
  EXPECT_DOUBLE_EQ(record->MeanRssi(), -70.0);
  record->AddSample({ManualClocks::SteadyMs(), -50, false});
  EXPECT_DOUBLE_EQ(record->MeanRssi(), -60.0);
}

TEST_F(DeviceRecordTest, SixteenthSampleDropsTheOldest) {
  const auto record = DeviceRecord::Create(Packet(1, -100));
  for (int i = 1; i < 16; ++i) {
    record->AddSample({ManualClocks::SteadyMs() + i, static_cast<int8_t>(-100 + i), false});
  }
  const auto history = record->RssiHistoryOldestFirst();
  ASSERT_EQ(history.size(), DeviceRecord::kMaxRssiSamples);
  EXPECT_EQ(history.front().rssi, -99);  // the creation sample (-100) is gone
  EXPECT_EQ(history.back().rssi, -85);
}

TEST_F(DeviceRecordTest, ConnectionSampleDoesNotMoveLastAdvertTime) {
  const auto record = DeviceRecord::Create(Packet(1, -70));
  const int64_t created = ManualClocks::SteadyMs();
  record->AddSample({created + 500, -60, true});
  EXPECT_EQ(record->lastAdvertMs(), created);
  record->AddSample({created + 900, -60, false});
  EXPECT_EQ(record->lastAdvertMs(), created + 900);
}

TEST_F(DeviceRecordTest, OnlyANewLongUuidCountsAsNewService) {
  const auto record = DeviceRecord::Create(Packet(1, -70));
  const Uuid longUuid("0b9db0e5-c5b3-4043-8294-44d8112adc54");
  EXPECT_FALSE(record->AddAdvertisedUuid(Uuid(uint16_t{0x180D})));
  EXPECT_TRUE(record->AddAdvertisedUuid(longUuid));
  EXPECT_FALSE(record->AddAdvertisedUuid(longUuid));
  EXPECT_EQ(record->advertisedUuids(), (std::vector<Uuid>{longUuid, Uuid(uint16_t{0x180D})}));  // newest first
  EXPECT_EQ(record->consecutiveUuidCount(), 3);
}

TEST_F(DeviceRecordTest, AdvertsWithAndWithoutUuidResetEachOthersCounts) {
  const auto record = DeviceRecord::Create(Packet(1, -70));
  EXPECT_EQ(record->AddAdvertWithoutUuid(), 1U);
  EXPECT_EQ(record->AddAdvertWithoutUuid(), 2U);
  record->AddAdvertisedUuid(Uuid(uint16_t{1}));
  EXPECT_EQ(record->consecutiveAdvertsWithoutUuid(), 0U);
  EXPECT_EQ(record->consecutiveUuidCount(), 1);
  EXPECT_EQ(record->AddAdvertWithoutUuid(), 1U);
  EXPECT_EQ(record->consecutiveUuidCount(), 0);
}

TEST_F(DeviceRecordTest, AttemptAccessorsRefuseBeforeAnyAttempt) {
  const auto record = DeviceRecord::Create(Packet(1, -70));
  testing::ExpectLibraryError(
      testing::OutcomeOf([&] { record->GetMeanRSSIStrongestAttemptedServiceDiscovery(); }),
      "programming error: GetMeanRSSIStrongestAttemptedServiceDiscovery must not be called if no discovery attempts "
      "have been made",
      details::kErrorGeneral);
  testing::ExpectLibraryError(
      testing::OutcomeOf([&] { record->GetTimeMostRecentServiceDiscovery(); }),
      "programming error: GetTimeMostRecentServiceDiscovery must not be called if no discovery attempts have been "
      "made",
      details::kErrorGeneral);
}

TEST_F(DeviceRecordTest, StrongestAttemptRssiOnlyRises) {
  const auto record = DeviceRecord::Create(Packet(1, -70));
  record->BeginDiscoveryAttempt(100);
  EXPECT_DOUBLE_EQ(record->GetMeanRSSIStrongestAttemptedServiceDiscovery(), -70.0);
  record->AddSample({ManualClocks::SteadyMs(), -90, false});
  record->AddSample({ManualClocks::SteadyMs(), -90, false});
  record->BeginDiscoveryAttempt(200);
  EXPECT_DOUBLE_EQ(record->GetMeanRSSIStrongestAttemptedServiceDiscovery(), -70.0);
  EXPECT_EQ(record->GetTimeMostRecentServiceDiscovery(), 200);
  EXPECT_EQ(record->discoveryAttempts(), 2);
}

TEST_F(DeviceRecordTest, FailedAttemptRestartsTheUuidlessRunAndSuccessClearsFailures) {
  const auto record = DeviceRecord::Create(Packet(1, -70));
  for (int i = 0; i < 5; ++i) {
    record->AddAdvertWithoutUuid();
  }
  record->BeginDiscoveryAttempt(1);
  record->EndDiscoveryAttempt(false);
  EXPECT_EQ(record->failedConnectionAttempts(), 1);
  EXPECT_EQ(record->consecutiveAdvertsWithoutUuid(), 0U);
  record->BeginDiscoveryAttempt(2);
  record->EndDiscoveryAttempt(true);
  EXPECT_EQ(record->failedConnectionAttempts(), 0);
}

TEST_F(DeviceRecordTest, TakeRecordDataAnswersToTheOtherAddressButKeepsItsDevice) {
  const auto mine = DeviceRecord::Create(Packet(1, -90));
  const auto other = DeviceRecord::Create(Packet(2, -40, {0x02, 0x01, 0x06}));
  other->AddAdvertisedUuid(Uuid(uint16_t{7}));
  other->BeginDiscoveryAttempt(55);
  other->EndDiscoveryAttempt(false);
  const auto myDevice = mine->device();

  mine->TakeRecordData(*other);

  EXPECT_EQ(mine->device(), myDevice);
  EXPECT_EQ(mine->address(), MakeAddress(2));
  EXPECT_EQ(mine->advertisementData(), (std::vector<unsigned char>{0x02, 0x01, 0x06}));
  EXPECT_DOUBLE_EQ(mine->MeanRssi(), -40.0);
  EXPECT_EQ(mine->advertisedUuids(), std::vector<Uuid>{Uuid(uint16_t{7})});
  EXPECT_EQ(mine->discoveryAttempts(), 1);
  EXPECT_EQ(mine->GetTimeMostRecentServiceDiscovery(), 55);
  EXPECT_EQ(mine->failedConnectionAttempts(), 1);
  mine->TakeRecordData(*mine);  // harmless
  EXPECT_EQ(mine->address(), MakeAddress(2));
}

class ScanStatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override { ScanStatistics::Instance().ResetForTesting(); }
  void TearDown() override { ScanStatistics::Instance().ResetForTesting(); }

  ManualClocks m_clocks;
};

TEST_F(ScanStatisticsTest, PeriodEndingInTheMillisecondItBeganCountsButLogsNothing) {
  LogCapture log;
  auto& statistics = ScanStatistics::Instance();
  statistics.BeginPeriod();
  statistics.CountAdvert("a");
  statistics.CountAdvert("a");
  statistics.EndPeriod();
  const auto totals = statistics.GetTotals();
  EXPECT_EQ(totals.periodCount, 1U);
  EXPECT_EQ(totals.totalAdverts, 2U);
  EXPECT_EQ(totals.totalMacs, 1U);
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(ScanStatisticsTest, PeriodLogsItsRatesAndTracksExtremes) {
  LogCapture log;
  auto& statistics = ScanStatistics::Instance();
  statistics.CountAdvert("ignored while inactive");
  statistics.BeginPeriod();
  statistics.CountAdvert("a");
  statistics.CountAdvert("b");
  statistics.CountAdvert("a");
  statistics.CountAdvert("c");
  ManualClocks::AdvanceSteadyMs(2000);
  statistics.EndPeriod();
  EXPECT_TRUE(log.Has(Logger::DEBUG,
                      "scan # 1 ended after  2000 msec; #adverts/sec = 2 #mac addresses/sec = 1.5 ; running totals "
                      "#adverts/sec = 2 ; #MAC addresses/second = 1.5 ; min adverts/sec = 2 ; max adverts/sec = 2 ; "
                      "min mac addresses/sec = 1.5 ; max mac addresses/sec = 1.5"));
  statistics.BeginPeriod();
  statistics.CountAdvert("a");
  ManualClocks::AdvanceSteadyMs(1000);
  statistics.EndPeriod();
  const auto totals = statistics.GetTotals();
  EXPECT_DOUBLE_EQ(totals.adverts.min, 1.0);
  EXPECT_DOUBLE_EQ(totals.adverts.max, 2.0);
  EXPECT_DOUBLE_EQ(totals.macs.min, 1.0);
  EXPECT_DOUBLE_EQ(totals.macs.max, 1.5);
  EXPECT_EQ(totals.totalMs, 3000U);
  statistics.EndPeriod();  // no period running: nothing changes
  EXPECT_EQ(statistics.GetTotals().periodCount, 2U);
}

}  // namespace
}  // namespace lumen
