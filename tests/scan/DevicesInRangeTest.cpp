#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/ConnectionTable.h"
#include "core/Event.h"
#include "lumen/Advertiser.h"
#include "lumen/BluetoothDevice.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"
#include "scan/DevicesInRange.h"
#include "scan/FakeProvider.h"
#include "support/Latch.h"
#include "support/LogCapture.h"

namespace lumen {
namespace {

using details::AdvPacket;
using details::DeviceRecord;
using details::DevicesInRange;
using testing::FakeCall;
using testing::FakeService;
using testing::Latch;
using testing::LogCapture;
using testing::ManualClocks;
using testing::ScopedFakeProvider;
using Bytes = std::vector<unsigned char>;
using Devices = std::vector<std::shared_ptr<BluetoothDevice>>;

const Bytes kFlagsOnly = {0x02, 0x01, 0x06};

Uuid LongUuid(uint8_t last) {
  std::array<uint8_t, 16> bytes{0x0B, 0x9D, 0xB0, 0xE5, 0xC5, 0xB3, 0x40, 0x43,
                                0x82, 0x94, 0x44, 0xD8, 0x11, 0x2A, 0xDC};
  bytes[15] = last;
  return Uuid(bytes);
}

const Uuid kU1 = LongUuid(1);
const Uuid kU2 = LongUuid(2);
const Uuid kU3 = LongUuid(3);

// An advertisement carrying one complete 128-bit UUID list (bytes reversed on air).
Bytes WithUuid(const Uuid& uuid) {
  Bytes data = {0x02, 0x01, 0x06, 0x11, 0x07};
  for (size_t i = uuid.size(); i > 0; --i) {
    data.push_back(uuid.bytes()[i - 1]);
  }
  return data;
}

Address Mac(uint8_t who) { return Address({who, 0x22, 0x33, 0x44, 0x55, 0x66}, Address::Random); }

// A radio reset in progress for the scope of one test.
class GlobalResetRaised {
 public:
  GlobalResetRaised() { details::Event::SetGlobalReset(true); }
  ~GlobalResetRaised() { details::Event::SetGlobalReset(false); }
};

class DevicesInRangeTest : public ::testing::Test {
 protected:
  void TearDown() override { reports_.clear(); }

  std::pair<std::shared_ptr<DeviceRecord>, bool> Hear(uint8_t who, int8_t rssi, const Bytes& data) {
    return m_cache.RegisterAdvPacket(std::make_shared<const AdvPacket>(rssi, Mac(who), 0, 0, data));
  }
  std::shared_ptr<DeviceRecord> HearUuid(uint8_t who, const Uuid& uuid, int8_t rssi = -60) {
    return Hear(who, rssi, WithUuid(uuid)).first;
  }
  // A phone in the background: advertisements without any UUID.
  std::shared_ptr<DeviceRecord> HearPhone(uint8_t who, int8_t rssi, int times) {
    std::shared_ptr<DeviceRecord> record;
    for (int i = 0; i < times; ++i) {
      record = Hear(who, rssi, kFlagsOnly).first;
    }
    return record;
  }
  // Phone `who`, heard at `rssi`, tried once and failed.
  void TriedAndFailedAt(uint8_t who, int8_t rssi) {
    HearPhone(who, rssi, 4);
    m_fake->FailConnect(Mac(who));
    m_cache.ConnectToDevicesNeedingServiceCheck(true);
  }
  // Every connect attempt moves the system clock on by ticks.
  void EachConnectAttemptTakes(int64_t ticks) {
    m_fake->SetHook([ticks](const FakeCall& call) {
      if (call.slot == "ConnectDirect") {
        ManualClocks::AdvanceSystemTicks(ticks);
      }
    });
  }
  // The phones the next round of service checks tries, in order.
  std::vector<Address> NextAttemptOrder() {
    m_fake->ClearCalls();
    m_cache.ConnectToDevicesNeedingServiceCheck(true);
    return ConnectAttempts();
  }
  // Phone 1 tried and failed at triedRssi, then heard at nowRssi beside
  // phone 2, never tried, at otherRssi: the order of the next attempts.
  std::vector<Address> OrderAfterOneFailedTry(int8_t triedRssi, int8_t nowRssi, int8_t otherRssi) {
    TriedAndFailedAt(1, triedRssi);
    HearPhone(1, nowRssi, 4);
    HearPhone(2, otherRssi, 4);
    return NextAttemptOrder();
  }
  std::vector<Address> ConnectAttempts() const {
    std::vector<Address> addresses;
    for (const FakeCall& call : m_fake->Calls("ConnectDirect")) {
      addresses.push_back(call.address);
    }
    return addresses;
  }

  static bool Report(const std::wstring& name, Devices& devices) {
    reports_.emplace_back(name, devices);
    return false;  // ignored
  }
  static inline std::vector<std::pair<std::wstring, Devices>> reports_;

  ScopedFakeProvider m_fake;
  ManualClocks m_clocks;
  DevicesInRange m_cache;
};

// --- advertisements -----------------------------------------------------------

TEST_F(DevicesInRangeTest, NewServiceFlagOnlyForTheFirstLongUuidOfEachDevice) {
  Bytes shortUuid = {0x03, 0x03, 0x0D, 0x18};
  EXPECT_FALSE(Hear(1, -60, shortUuid).second);
  EXPECT_TRUE(Hear(1, -60, WithUuid(kU1)).second);
  EXPECT_FALSE(Hear(1, -60, WithUuid(kU1)).second);
  EXPECT_TRUE(Hear(2, -60, WithUuid(kU1)).second);
  EXPECT_EQ(m_cache.size(), 2U);
}

TEST_F(DevicesInRangeTest, KnownRecordKeepsItsFirstPacketButGainsSamples) {
  const auto record = Hear(1, -70, kFlagsOnly).first;
  EXPECT_EQ(Hear(1, -50, WithUuid(kU1)).first, record);
  EXPECT_EQ(record->advertisementData(), kFlagsOnly);
  EXPECT_EQ(record->SampleCount(), 2U);
  EXPECT_DOUBLE_EQ(record->MeanRssi(), -60.0);
  EXPECT_EQ(record->consecutiveAdvertsWithoutUuid(), 0U);
}

TEST_F(DevicesInRangeTest, NewDeviceWithoutUuidIsLoggedWithItsCount) {
  LogCapture log;
  Hear(1, -70, kFlagsOnly);
  Hear(1, -71, kFlagsOnly);
  const std::string mac = Mac(1).ToString();
  EXPECT_TRUE(log.Has(Logger::INFO, "lumen::details::DevicesInRange::RegisterAdvPacket New device MAC: " + mac +
                                        " RSSI: -70 advert without uuid count: 1 contents: 02 01 06 "));
  EXPECT_TRUE(log.Has(Logger::DEBUG, "lumen::details::DevicesInRange::RegisterAdvPacket Previously seen MAC: " + mac +
                                         " Updated record RSSI: -71 advert without uuid count: 2 contents: 02 01 06 "));
}

// --- jobs and matches -----------------------------------------------------------

TEST_F(DevicesInRangeTest, SilentDeviceMatchesUntilExactlyFifteenSecondsHavePassed) {
  const auto record = HearUuid(1, kU1);
  m_cache.AddJob(L"job", {kU1});
  ManualClocks::AdvanceMs(14999);
  m_cache.ProcessJobs(&Report);
  ASSERT_EQ(reports_.size(), 1U);
  EXPECT_EQ(reports_[0].second, Devices{record->device()});

  LogCapture log;
  m_cache.AddJob(L"job", {kU1});
  ManualClocks::AdvanceMs(1);
  m_cache.ProcessJobs(&Report);
  EXPECT_EQ(reports_.size(), 1U);
  EXPECT_TRUE(m_cache.HasJobs());
  EXPECT_TRUE(log.HasContaining(Logger::DEBUG, "but is excluded because it last advertised at tick"));
}

TEST_F(DevicesInRangeTest, ConnectedDeviceMatchesHoweverLongItIsSilent) {
  const auto record = HearUuid(1, kU1);
  record->device()->Connect();
  m_cache.AddJob(L"job", {kU1});
  ManualClocks::AdvanceMs(60000);
  m_cache.ProcessJobs(&Report);
  ASSERT_EQ(reports_.size(), 1U);
  EXPECT_EQ(reports_[0].second, Devices{record->device()});
}

TEST_F(DevicesInRangeTest, MatchesComeConnectedFirstThenFewerFailuresThenStronger) {
  const auto strong = HearUuid(1, kU1, -40);
  const auto connected = HearUuid(2, kU2, -90);
  const auto failing = HearUuid(3, kU3, -30);
  connected->device()->Connect();
  m_fake->FailConnect(Mac(3));
  EXPECT_THROW(failing->device()->Connect(), details::KesBluetoothSDKLibError);
  const auto weak = HearUuid(4, LongUuid(4), -70);
  const auto tiedWithWeak = HearUuid(5, LongUuid(5), -70);

  m_cache.AddJob(L"job", {kU1, kU2, kU3, LongUuid(4), LongUuid(5)});
  m_cache.ProcessJobs(&Report);

  ASSERT_EQ(reports_.size(), 1U);
  EXPECT_EQ(reports_[0].second, (Devices{connected->device(), strong->device(), weak->device(), tiedWithWeak->device(),
                                         failing->device()}));
}

TEST_F(DevicesInRangeTest, ResolvedJobIsReportedOnceAndCountsAsACancellation) {
  const auto record = HearUuid(1, kU1);
  m_cache.AddJob(L"b", {kU1});
  m_cache.AddJob(L"a", {kU2});
  ManualClocks::AdvanceMs(10);
  m_cache.ProcessJobs(&Report);
  ASSERT_EQ(reports_.size(), 1U);
  EXPECT_EQ(reports_[0].first, L"b");
  EXPECT_EQ(m_cache.LastJobCancelTime(), ManualClocks::SystemTicks());
  EXPECT_TRUE(m_cache.HasJobs());  // "a" is still unresolved
  m_cache.ProcessJobs(&Report);
  EXPECT_EQ(reports_.size(), 1U);
}

TEST_F(DevicesInRangeTest, CancellingAnUnknownJobStillRecordsTheTime) {
  EXPECT_EQ(m_cache.LastJobCancelTime(), 0);
  m_cache.CancelJob(L"never added");
  EXPECT_EQ(m_cache.LastJobCancelTime(), ManualClocks::SystemTicks());
  EXPECT_FALSE(m_cache.HasJobs());
}

TEST_F(DevicesInRangeTest, AddingAJobUnderAnExistingNameReplacesIt) {
  HearUuid(1, kU1);
  m_cache.AddJob(L"job", {kU2});
  m_cache.AddJob(L"job", {kU1});
  m_cache.CancelJob(L"job");
  EXPECT_FALSE(m_cache.HasJobs());
}

TEST_F(DevicesInRangeTest, DuplicateDetectUuidKeepsTheDeviceHeardMostRecently) {
  const auto older = HearUuid(1, kU1);
  ManualClocks::AdvanceMs(100);
  const auto newer = HearUuid(2, kU1);
  m_cache.AddJob(L"job", {kU1});
  EXPECT_EQ(m_cache.size(), 1U);
  EXPECT_EQ(m_cache.Find(Mac(2)), newer);
  EXPECT_EQ(m_cache.Find(Mac(1)), nullptr);
}

TEST_F(DevicesInRangeTest, DuplicateDetectUuidKeepsTheConnectedDevice) {
  const auto connected = HearUuid(1, kU1);
  connected->device()->Connect();
  ManualClocks::AdvanceMs(100);
  HearUuid(2, kU1);
  m_cache.AddJob(L"job", {kU1});
  EXPECT_EQ(m_cache.size(), 1U);
  EXPECT_EQ(m_cache.Find(Mac(1)), connected);
}

// --- UUID-less phones ---------------------------------------------------------------

TEST_F(DevicesInRangeTest, PhoneWithoutUuidIsConnectedToReadItsServicesAndResolvesTheJob) {
  LogCapture log;
  m_fake->SetServices(Mac(7), {FakeService{1, 9, kU1, {}}});
  const auto phone = HearPhone(7, -80, 4);
  m_cache.AddJob(L"job", {kU1});
  m_cache.ProcessJobs(&Report);

  EXPECT_EQ(m_fake->Slots(), (std::vector<std::string>{"ConnectDirect", "GetListOfServices", "Disconnect"}));
  ASSERT_EQ(reports_.size(), 1U);
  EXPECT_EQ(reports_[0].second, Devices{phone->device()});
  EXPECT_FALSE(phone->device()->IsConnected());
  Uuid detect;
  EXPECT_TRUE(phone->device()->GetServiceUuidUsedToDetect(detect));
  EXPECT_EQ(detect, kU1);
  EXPECT_TRUE(log.Has(
      Logger::INFO, "Found services, device: " + Mac(7).ToString() + " job resolved by connecting to nearby iPhones"));
}

TEST_F(DevicesInRangeTest, CandidateNeedsFourUuidlessAdvertsAndMeanOfAtLeastMinus80) {
  HearPhone(1, -80, 4);  // qualifies: exactly -80.0
  HearPhone(2, -50, 3);  // one advert short
  HearPhone(3, -80, 3);
  Hear(3, -81, kFlagsOnly);  // mean of -80, -80, -81 is below -80
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(ConnectAttempts(), std::vector<Address>{Mac(1)});
}

TEST_F(DevicesInRangeTest, PhoneSilentForExactlyFifteenSecondsIsNoCandidate) {
  HearPhone(1, -60, 4);
  ManualClocks::AdvanceMs(1);
  HearPhone(2, -60, 4);
  ManualClocks::AdvanceMs(14999);  // phone 1: 15000 ms, phone 2: 14999 ms
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(ConnectAttempts(), std::vector<Address>{Mac(2)});
}

TEST_F(DevicesInRangeTest, NoAttemptStartsOnceFourSecondsHavePassed) {
  LogCapture log;
  for (uint8_t who = 1; who <= 3; ++who) {
    HearPhone(who, -60, 4);
  }
  EachConnectAttemptTakes(20'000'000);  // each attempt takes 2 s
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 2U);
  EXPECT_TRUE(log.Has(Logger::DEBUG, "Done connecting to devices. Tried  2  of  3  devices"));
}

TEST_F(DevicesInRangeTest, AttemptStillStartsJustInsideTheFourSecondBudget) {
  LogCapture log;
  for (uint8_t who = 1; who <= 3; ++who) {
    HearPhone(who, -60, 4);
  }
  EachConnectAttemptTakes(19'999'999);
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 3U);
  EXPECT_TRUE(log.Has(Logger::DEBUG, "Done connecting to devices. Tried all  3  devices"));
}

TEST_F(DevicesInRangeTest, BudgetRunsAcrossAllJobsOfOneCall) {
  for (uint8_t who = 1; who <= 3; ++who) {
    HearPhone(who, -60, 4);
  }
  EachConnectAttemptTakes(15'000'000);
  m_cache.AddJob(L"a", {kU1});
  m_cache.AddJob(L"b", {kU2});
  m_cache.ProcessJobs(&Report);
  // Job "a" tries phones 1-3 (4.5 s); job "b" starts over budget.
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 3U);
  EXPECT_TRUE(reports_.empty());
}

TEST_F(DevicesInRangeTest, RadioResetStopsTheWalkOfCandidates) {
  LogCapture log;
  HearPhone(1, -60, 4);
  GlobalResetRaised reset;
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 0U);
  EXPECT_TRUE(log.Has(Logger::INFO, "Stopping connecting to devices because the device is being reset"));
}

TEST_F(DevicesInRangeTest, FailedAttemptNeedsFourMoreUuidlessAdvertsBeforeTheNext) {
  const auto phone = HearPhone(1, -60, 4);
  m_fake->FailConnect(Mac(1));
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 1U);
  EXPECT_EQ(m_fake->Count("Disconnect"), 0U);
  EXPECT_GT(phone->failedConnectionAttempts(), 0);
  EXPECT_EQ(phone->consecutiveAdvertsWithoutUuid(), 0U);

  HearPhone(1, -60, 3);
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 1U);
  HearPhone(1, -60, 1);
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 2U);
}

TEST_F(DevicesInRangeTest, PhoneWithServicesReadSinceAdvertisingStoppedIsNotCheckedAgain) {
  HearPhone(1, -60, 4);
  m_fake->SetServices(Mac(1), {FakeService{1, 5, Uuid(uint16_t{0x1800}), {}}});
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  HearPhone(1, -60, 4);
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 1U);
}

TEST_F(DevicesInRangeTest, PhoneIsCheckedAgainAfterAdvertisingStopped) {
  // Discovery and stop happen before the clock start, so later tests never
  // see this stop time as newer than their discoveries.
  ManualClocks::AdvanceSystemTicks(-1000);
  HearPhone(1, -60, 4);
  m_fake->SetServices(Mac(1), {FakeService{1, 5, Uuid(uint16_t{0x1800}), {}}});
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  ManualClocks::AdvanceSystemTicks(10);
  Advertiser().StopAdvertising();
  HearPhone(1, -60, 4);
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 2U);
}

TEST_F(DevicesInRangeTest, NeverTriedPhonesComeBeforeTriedOnesEvenWhenWeaker) {
  EXPECT_EQ(OrderAfterOneFailedTry(-50, -50, -75), (std::vector<Address>{Mac(2), Mac(1)}));
}

TEST_F(DevicesInRangeTest, PhoneSixDecibelsStrongerThanAtItsBestAttemptCountsAsMovedCloser) {
  LogCapture log;
  // Exactly 6.0 dB closer; the phone never tried is weaker.
  EXPECT_EQ(OrderAfterOneFailedTry(-70, -64, -66), (std::vector<Address>{Mac(1), Mac(2)}));
  EXPECT_TRUE(log.HasContaining(Logger::DEBUG, " moved closer, from "));
}

TEST_F(DevicesInRangeTest, PhoneFiveDecibelsStrongerHasNotMovedCloser) {
  EXPECT_EQ(OrderAfterOneFailedTry(-70, -65, -66), (std::vector<Address>{Mac(2), Mac(1)}));
}

TEST_F(DevicesInRangeTest, AmongTriedPhonesFewerFailuresThenOlderAttemptGoFirst) {
  EachConnectAttemptTakes(1000);  // distinct attempt times
  HearPhone(1, -60, 4);
  HearPhone(2, -55, 4);
  HearPhone(3, -50, 4);
  for (uint8_t who = 1; who <= 3; ++who) {
    m_fake->FailConnect(Mac(who));
  }
  m_cache.ConnectToDevicesNeedingServiceCheck(true);  // never tried: strongest first
  EXPECT_EQ(ConnectAttempts(), (std::vector<Address>{Mac(3), Mac(2), Mac(1)}));
  HearPhone(3, -60, 4);
  m_cache.ConnectToDevicesNeedingServiceCheck(true);  // phone 3 fails once more on its own
  for (uint8_t who = 1; who <= 3; ++who) {
    HearPhone(who, -60, 4);  // same mean, none moved closer
  }
  // 2 and 1 failed equally often, 2 longer ago; 3 failed more often.
  EXPECT_EQ(NextAttemptOrder(), (std::vector<Address>{Mac(2), Mac(1), Mac(3)}));
}

TEST_F(DevicesInRangeTest, JobWhoseMatchesAllFailedChecksPhonesAndIsStillReported) {
  const auto failing = HearUuid(1, kU1);
  m_fake->FailConnect(Mac(1));
  EXPECT_THROW(failing->device()->Connect(), details::KesBluetoothSDKLibError);
  HearPhone(2, -60, 4);
  m_cache.AddJob(L"job", {kU1});
  m_fake->ClearCalls();
  m_cache.ProcessJobs(&Report);
  EXPECT_EQ(ConnectAttempts(), std::vector<Address>{Mac(2)});
  ASSERT_EQ(reports_.size(), 1U);
  EXPECT_EQ(reports_[0].second, Devices{failing->device()});
}

TEST_F(DevicesInRangeTest, OpenConnectionHoldsBackUnforcedChecks) {
  LogCapture log;
  const auto busy = HearUuid(1, kU1);
  busy->device()->Connect();
  HearPhone(2, -60, 4);
  m_fake->ClearCalls();
  m_cache.ConnectToDevicesNeedingServiceCheck(false);
  EXPECT_EQ(m_fake->Count("ConnectDirect"), 0U);
  EXPECT_TRUE(
      log.Has(Logger::DEBUG, "Don't attempt connecting to devices:  1  devices have not had services discovered."));
  m_cache.ConnectToDevicesNeedingServiceCheck(true);
  EXPECT_EQ(ConnectAttempts(), std::vector<Address>{Mac(2)});
}

// --- address switches -----------------------------------------------------------

TEST_F(DevicesInRangeTest, DeviceAdvertisingUnderANewAddressKeepsItsObject) {
  const auto old = HearUuid(1, kU1);
  m_cache.AddJob(L"job", {kU1});
  const std::shared_ptr<BluetoothDevice> device = old->device();

  const auto [fresh, newService] = Hear(9, -55, WithUuid(kU1));
  ASSERT_TRUE(newService);
  m_cache.CheckForMacSwitch(fresh);

  EXPECT_EQ(m_cache.size(), 1U);
  EXPECT_EQ(m_cache.Find(Mac(1)), nullptr);
  EXPECT_EQ(m_cache.Find(Mac(9)), old);
  EXPECT_EQ(device->address(), Mac(9));
  EXPECT_DOUBLE_EQ(device->MeanRssi(), -55.0);
  m_cache.ProcessJobs(&Report);
  ASSERT_EQ(reports_.size(), 1U);
  EXPECT_EQ(reports_[0].second, Devices{device});
}

TEST_F(DevicesInRangeTest, PhoneFoundUnderANewAddressHandsItsConnectionToTheOldObject) {
  m_fake->SetServices(Mac(9), {FakeService{1, 9, kU1, {}}});
  const auto old = HearUuid(1, kU1);
  m_cache.AddJob(L"first", {kU1});
  m_cache.ProcessJobs(&Report);
  ASSERT_EQ(reports_.size(), 1U);
  const std::shared_ptr<BluetoothDevice> device = reports_[0].second.at(0);

  ManualClocks::AdvanceMs(20000);  // the old address has gone quiet
  HearPhone(9, -60, 4);            // the same phone, new address, no UUIDs
  m_cache.AddJob(L"second", {kU1});
  m_fake->ClearCalls();
  m_cache.ProcessJobs(&Report);

  EXPECT_EQ(m_fake->Slots(), (std::vector<std::string>{"ConnectDirect", "GetListOfServices"}));
  ASSERT_EQ(reports_.size(), 2U);
  EXPECT_EQ(reports_[1].second, Devices{device});
  EXPECT_EQ(device->address(), Mac(9));
  EXPECT_TRUE(device->IsConnected());
  EXPECT_EQ(m_cache.size(), 1U);
}

TEST_F(DevicesInRangeTest, SwitchBetweenTwoConnectedObjectsClosesTheOldConnection) {
  m_fake->SetServices(Mac(9), {FakeService{1, 9, kU2, {}}});
  const auto old = HearUuid(1, kU1);
  m_cache.AddJob(L"job", {kU1});
  old->device()->Connect();
  const int64_t oldHandle = m_fake->Calls("ConnectDirect").back().handleId;
  const auto fresh = Hear(9, -60, WithUuid(kU1)).first;
  fresh->device()->Connect();

  m_cache.CheckForMacSwitch(fresh);

  const auto disconnects = m_fake->Calls("Disconnect");
  ASSERT_EQ(disconnects.size(), 1U);
  EXPECT_EQ(disconnects[0].handleId, oldHandle);
  EXPECT_TRUE(old->device()->IsConnected());
  EXPECT_FALSE(fresh->device()->IsConnected());
  EXPECT_EQ(old->device()->address(), Mac(9));
  // The old object now talks over the new address's connection.
  old->device()->GetServices();
  EXPECT_EQ(m_fake->Calls("GetListOfServices").back().handleId, oldHandle);
  EXPECT_TRUE(old->device()->ServicesContainUUID(kU2));
}

// --- expiry ---------------------------------------------------------------------

TEST_F(DevicesInRangeTest, SilentDeviceExpiresOnlyAfterMoreThanTheTimeout) {
  LogCapture log;
  const std::shared_ptr<BluetoothDevice> held = HearPhone(1, -60, 1)->device();
  ManualClocks::AdvanceMs(900000);
  m_cache.ExpireCache(900000);
  EXPECT_EQ(m_cache.size(), 1U);
  ManualClocks::AdvanceMs(1);
  m_cache.ExpireCache(900000);
  EXPECT_EQ(m_cache.size(), 0U);
  EXPECT_TRUE(log.Has(Logger::INFO, "delete from cache MAC = " + Mac(1).ToString()));
  // The application's object outlives the record and says so.
  EXPECT_EQ(held->address(), Address());
  EXPECT_TRUE(log.Has(Logger::WARNING, "DeviceRecord object is not valid"));
}

TEST_F(DevicesInRangeTest, ConnectedDeviceNeverExpires) {
  const auto record = HearPhone(1, -60, 1);
  record->device()->Connect();
  ManualClocks::AdvanceMs(10'000'000);
  m_cache.ExpireCache(900000);
  EXPECT_EQ(m_cache.size(), 1U);
}

TEST_F(DevicesInRangeTest, OutOfRangeTimeoutsExpireNothing) {
  HearPhone(1, -60, 1);
  ManualClocks::AdvanceMs(1000);
  m_cache.ExpireCache(INT_MAX);  // longer than the clock has run
  m_cache.ExpireCache(-1);       // an unsigned timeout past INT_MAX
  EXPECT_EQ(m_cache.size(), 1U);
  m_cache.ExpireCache(999);
  EXPECT_EQ(m_cache.size(), 0U);
}

// --- threads --------------------------------------------------------------------

TEST_F(DevicesInRangeTest, JobStateIsReadableFromOtherThreadsWhileTheWorkerChangesIt) {
  constexpr int kCancels = 2000;
  std::atomic<bool> done{false};
  Latch firstRead(1);
  // The reader's own until it is joined.
  size_t reads = 0;
  size_t impossible = 0;
  int64_t lastCancelled = 0;
  bool lastHasJobs = false;
  std::thread reader([&] {
    const auto read = [&] {
      const int64_t cancelled = m_cache.LastJobCancelTime();
      lastHasJobs = m_cache.HasJobs();
      // Never back in time, and 0 or a time the clock has reached.
      const bool possible =
          cancelled >= lastCancelled && (cancelled == 0 || (cancelled > ManualClocks::StartSystemTicks() &&
                                                            cancelled <= ManualClocks::SystemTicks()));
      impossible += possible ? 0 : 1;
      lastCancelled = cancelled;
      ++reads;
    };
    read();
    firstRead.CountDown();
    while (!done.load()) {
      read();
    }
    read();  // after the worker's last change
  });
  firstRead.Wait();
  for (int i = 0; i < kCancels; ++i) {
    m_cache.AddJob(L"job" + std::to_wstring(i % 3), {kU1});
    ManualClocks::AdvanceSystemTicks(1);
    m_cache.CancelJob(L"job" + std::to_wstring(i % 3));
  }
  m_cache.AddJob(L"last", {kU1});
  done = true;
  reader.join();
  EXPECT_EQ(impossible, 0U) << "of " << reads << " reads";
  // The reading thread sees the final state too.
  EXPECT_TRUE(lastHasJobs);
  EXPECT_EQ(lastCancelled, ManualClocks::StartSystemTicks() + kCancels);
  m_cache.CancelJob(L"last");
  EXPECT_FALSE(m_cache.HasJobs());
  EXPECT_EQ(m_cache.LastJobCancelTime(), ManualClocks::SystemTicks());
}

}  // namespace
}  // namespace lumen
