// Finding and using phones end to end: the scanner, the device cache and the
// device objects on the real providers, against each virtual radio.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/CallbacksManager.h"
#include "core/ConnectionTable.h"
#include "core/Event.h"
#include "lumen/BeaconController.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "radios/RadioUnderTest.h"
#include "scan/BeaconControllerImpl.h"
#include "scan/ScannerImpl.h"
#include "support/Guard.h"
#include "support/LogCapture.h"
#include "support/NotifiedValues.h"
#include "support/PhoneScenario.h"
#include "support/ScannerOnRadio.h"

namespace lumen {
namespace {

using namespace std::chrono_literals;
using testing::BothRadiosTest;
using testing::LogCapture;
using Operation = testing::RadioUnderTest::Operation;
using Bytes = std::vector<uint8_t>;

using testing::kGuard;

using testing::kLongValue;
using testing::kNotifying;
using testing::kPhoneService;
using testing::kShortValue;
using testing::kWritable;
const Uuid kHiddenService(std::string("b7d10000-5e0c-4c3f-9d8a-2f6e1c0b7a11"));

// A phone that advertises its service and changes its address, and one that
// hides a service the scanner only finds by connecting.
const std::string kScenario = testing::Bled112Scenario(
    testing::PhonePeripheral(
        {.name = "foreground", .extra = R"("address_rotation": {"every_s": 5, "addresses": ["5b:11:21:31:41:51"]})"}) +
    "," +
    testing::BackgroundPhone("background", -60,
                             R"([{"uuid": "b7d10000-5e0c-4c3f-9d8a-2f6e1c0b7a11", "characteristics": [
                                  {"uuid": "b7d10001-5e0c-4c3f-9d8a-2f6e1c0b7a11", "properties": ["read"], "value": "02"}
                                ]}])"));

// What the application's callbacks saw; they run on the scanner's worker.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, int> advertsByAddress;
  std::map<std::wstring, std::vector<std::shared_ptr<BluetoothDevice>>> jobs;

  void Clear() {
    std::lock_guard lock(mutex);
    advertsByAddress.clear();
    jobs.clear();
  }
};
Seen g_seen;

bool OnAdvert(std::shared_ptr<BluetoothDevice>& device) {
  {
    std::lock_guard lock(g_seen.mutex);
    ++g_seen.advertsByAddress[device->address().ToString()];
  }
  g_seen.changed.notify_all();
  return true;
}

bool OnScan(const std::wstring& job, std::vector<std::shared_ptr<BluetoothDevice>>& devices) {
  {
    std::lock_guard lock(g_seen.mutex);
    g_seen.jobs[job] = devices;
  }
  g_seen.changed.notify_all();
  return true;
}

class PhoneEndToEndTest : public BothRadiosTest {
 protected:
  void SetUp() override {
    g_seen.Clear();
    details::ClearAllConnections();
    m_radio = MakeRadio(kScenario);
    ASSERT_TRUE(m_radio->Open());
    m_scanner = testing::ScannerTickedByHand();
    m_scanner->SetAdvCallback(&OnAdvert);
    m_scanner->SetScanCallback(&OnScan);
  }

  void TearDown() override { testing::CloseScannerAndRadio(m_scanner, m_radio); }

  Scanner::Impl& Impl() { return details::ScannerAccess::ImplOf(*m_scanner); }

  // Lets the sim clock run, and waits until the scanner has processed at
  // least `count` advertisements from `address`.
  void AdvanceUntilAdverts(const std::string& address, int count) {
    for (int step = 0; step < 100; ++step) {
      {
        std::lock_guard lock(g_seen.mutex);
        if (g_seen.advertsByAddress[address] >= count) {
          return;
        }
      }
      m_radio->Clock().AdvanceMs(100);
      std::unique_lock lock(g_seen.mutex);
      g_seen.changed.wait_for(lock, 50ms, [&] { return g_seen.advertsByAddress[address] >= count; });
    }
    FAIL() << "no " << count << " adverts from " << address;
  }

  std::vector<std::shared_ptr<BluetoothDevice>> JobResult(const std::wstring& job) {
    std::unique_lock lock(g_seen.mutex);
    g_seen.changed.wait_for(lock, kGuard, [&] { return g_seen.jobs.count(job) != 0; });
    const auto found = g_seen.jobs.find(job);
    return found == g_seen.jobs.end() ? std::vector<std::shared_ptr<BluetoothDevice>>{} : found->second;
  }

  // Adds a scan job for service, lets address advertise `adverts` times and
  // ticks the scanner: what the job was resolved with.
  std::vector<std::shared_ptr<BluetoothDevice>> RunScanJob(const std::wstring& job, const Uuid& service,
                                                           const std::string& address, int adverts) {
    m_scanner->AddScanJob(job, {service});
    EXPECT_TRUE(m_radio->WaitFor(Operation::kScanStart, kGuard));
    AdvanceUntilAdverts(address, adverts);
    Impl().TickNowForTesting();
    return JobResult(job);
  }

  std::shared_ptr<BluetoothDevice> FindForegroundPhone() {
    const auto devices = RunScanJob(L"foreground", kPhoneService, "5a:10:20:30:40:50", 2);
    EXPECT_EQ(devices.size(), 1U);
    return devices.empty() ? nullptr : devices.front();
  }

  // The foreground phone, found and connected with the scan stopped; null when not found.
  std::shared_ptr<BluetoothDevice> ConnectForegroundPhone() {
    const auto phone = FindForegroundPhone();
    if (phone) {
      m_scanner->StopLeScan();
      phone->Connect();
    }
    return phone;
  }

  LogCapture m_log;
  std::unique_ptr<testing::RadioUnderTest> m_radio;
  std::unique_ptr<Scanner> m_scanner;
};

TEST_P(PhoneEndToEndTest, AdvertisedUuidResolvesTheJobAtTheNextTick) {
  const auto phone = FindForegroundPhone();
  ASSERT_TRUE(phone);
  EXPECT_EQ(phone->address().ToString(), "5a:10:20:30:40:50");
  // The job is gone: another tick reports nothing more.
  g_seen.Clear();
  Impl().TickNowForTesting();
  std::lock_guard lock(g_seen.mutex);
  EXPECT_TRUE(g_seen.jobs.empty());
}

TEST_P(PhoneEndToEndTest, BackgroundPhoneIsConnectedToCheckItsServicesAndResolvesTheJob) {
  const auto devices = RunScanJob(L"hidden", kHiddenService, "4b:60:70:80:90:a0", 5);
  ASSERT_EQ(devices.size(), 1U);
  EXPECT_EQ(devices.front()->address().ToString(), "4b:60:70:80:90:a0");
  EXPECT_TRUE(devices.front()->HasService(kHiddenService));
  EXPECT_EQ(m_radio->Count(Operation::kConnect), 1U);
  EXPECT_GE(m_radio->Count(Operation::kServiceDiscovery), 1U);
  // The check's connection is closed again once the services are read.
  EXPECT_EQ(m_radio->Count(Operation::kDisconnect), 1U);
  EXPECT_FALSE(details::AnyConnectionOpen());
}

TEST_P(PhoneEndToEndTest, PhoneChangingItsRandomAddressKeepsTheApplicationsObject) {
  const auto phone = FindForegroundPhone();
  ASSERT_TRUE(phone);

  // Still looking for it when it moves to its next address.
  m_scanner->AddScanJob(L"again", {kPhoneService});
  m_radio->Clock().AdvanceMs(5000);
  AdvanceUntilAdverts("5b:11:21:31:41:51", 1);
  Impl().TickNowForTesting();

  const auto devices = JobResult(L"again");
  ASSERT_EQ(devices.size(), 1U);
  EXPECT_EQ(devices.front(), phone);  // the very same object
  EXPECT_EQ(phone->address().ToString(), "5b:11:21:31:41:51");
}

TEST_P(PhoneEndToEndTest, ConnectReadWriteNotifyAndRecoverAStaleHandle) {
  const auto phone = ConnectForegroundPhone();
  ASSERT_TRUE(phone);
  ASSERT_TRUE(phone->IsConnected());
  auto service = phone->GetService(kPhoneService);
  ASSERT_TRUE(service);
  EXPECT_EQ(service->GetCharacteristic(kShortValue)->ReadValue(true), Bytes{0x2a});

  // The radio answers "invalid handle" once: the cache is rebuilt and the read repeated.
  ASSERT_TRUE(m_radio->AnswerNextReadWithInvalidHandle());
  EXPECT_EQ(service->GetCharacteristic(kShortValue)->ReadValue(true), Bytes{0x2a});
  EXPECT_TRUE(m_log.HasContaining(Logger::WARNING, "GATT operation got 'invalid handle'"));

  testing::NotifiedValues notified;
  auto notifying = service->GetCharacteristic(kNotifying);
  notifying->SetCharacteristicChangedCallback(notified.Callback());
  notifying->EnableCharacteristicNotification(true);
  service->GetCharacteristic(kWritable)->WriteValue({0x07}, true, false);
  ASSERT_TRUE(notified.WaitForCount(3, kGuard));
  EXPECT_EQ(notified.Values(), (std::vector<Bytes>{{0x01, 0x01}, {0x01, 0x02}, {0x01, 0x03}}));
  const auto threads = notified.Threads();
  EXPECT_EQ(threads.size(), 1U);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0U);  // not on the caller's thread

  // Switched off, the peer's notifications no longer reach the callback.
  notifying->EnableCharacteristicNotification(false);
  EXPECT_FALSE(m_radio->Notify("foreground", "a3c87502-8ed3-4bdf-8a39-a01bebede295", {0x09}));

  phone->Disconnect();
  EXPECT_FALSE(phone->IsConnected());
}

TEST_P(PhoneEndToEndTest, LongValueConnectionRssiAndALinkThePeerDrops) {
  const auto phone = ConnectForegroundPhone();
  ASSERT_TRUE(phone);
  ASSERT_TRUE(phone->IsConnected());

  // Longer than one ATT read at the default MTU: a long read brings it back whole.
  Bytes expected(40);
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i);
  auto service = phone->GetService(kPhoneService);
  ASSERT_TRUE(service);
  auto longValue = service->GetCharacteristic(kLongValue);
  EXPECT_EQ(longValue->ReadValue(false), expected);
  // The radios differ by design on a short read: the BLED112 makes one ATT
  // read (22 bytes), while the Nordic backend's read by handle reads it all.
  const Bytes shortRead = longValue->ReadValue(true);
  if (m_radio->Kind() == testing::RadioKind::kBled112) {
    EXPECT_EQ(shortRead, Bytes(expected.begin(), expected.begin() + 22));
  } else {
    EXPECT_EQ(shortRead, expected);
  }

  // The connection's RSSI is there from the start (seeded from the advertisements).
  std::vector<TimestampedRSSI> rssi;
  EXPECT_TRUE(phone->GetRSSIFromConnection(rssi));
  ASSERT_FALSE(rssi.empty());
  EXPECT_LT(rssi.back().rssi, 0);

  // The peer goes: the device learns it without being asked.
  // The connection table's own handler subscribed first, so by the time this
  // one runs the link is already gone from it.
  details::Event disconnected;
  int subscription = 0;
  details::Subscribe<unsigned int>(
      "common_evt_disconnect", [&disconnected](unsigned int /*native*/) { disconnected.Set(); }, &subscription);
  const bool dropped = m_radio->DropFirstConnection();
  const bool signalled =
      dropped && disconnected.WaitFor(static_cast<uint32_t>(std::chrono::milliseconds(kGuard).count()));
  details::Unsubscribe(subscription);  // before `disconnected` goes
  ASSERT_TRUE(dropped);
  ASSERT_TRUE(signalled) << "no disconnect event";
  EXPECT_FALSE(phone->IsConnected());
  EXPECT_FALSE(details::AnyConnectionOpen());
}

TEST_P(PhoneEndToEndTest, BeaconFramesGoOnAirByteExactWithTwentyMajorsPerUuid) {
  m_scanner->StopLeScan();
  const Uuid first(std::string("0b9db0e5-c5b3-4043-8294-44d8112adc54"));
  const Uuid second(std::string("1c2d3e4f-5061-7283-94a5-b6c7d8e9f00a"));
  // Advertising from construction on; a switch interval far beyond the test
  // leaves every switch to the test's own steps.
  BeaconController::Impl beacon({first, second}, 160, 24 * 3600 * 1000);
  constexpr int kFrames = 80;
  for (int i = 1; i < kFrames; ++i) {
    beacon.SwitchToNextUuid();
  }
  beacon.StopBeacon();

  const Bytes kPrefix{0x02, 0x01, 0x06, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};  // flags, Apple iBeacon type
  std::vector<Bytes> frames;
  for (const Bytes& air : m_radio->OnAirData()) {
    const bool isBeacon = air.size() >= kPrefix.size() && std::equal(kPrefix.begin(), kPrefix.end(), air.begin());
    if (isBeacon && (frames.empty() || frames.back() != air)) {
      frames.push_back(air);
    }
  }
  ASSERT_GE(frames.size(), static_cast<size_t>(kFrames));

  std::map<Bytes, std::vector<int>> majorsByUuid;
  Bytes previousUuid;
  for (const Bytes& frame : frames) {
    ASSERT_EQ(frame.size(), 30U);
    const Bytes uuid(frame.begin() + 9, frame.begin() + 25);
    EXPECT_NE(uuid, previousUuid) << "the UUID must switch at every step";
    previousUuid = uuid;
    majorsByUuid[uuid].push_back(frame[25] << 8 | frame[26]);
  }
  ASSERT_EQ(majorsByUuid.size(), 2U);
  EXPECT_EQ(majorsByUuid.count(Bytes(first.bytes(), first.bytes() + 16)), 1U);
  EXPECT_EQ(majorsByUuid.count(Bytes(second.bytes(), second.bytes() + 16)), 1U);
  for (const auto& [uuid, majors] : majorsByUuid) {
    ASSERT_GE(majors.size(), 20U);
    EXPECT_EQ(std::set<int>(majors.begin(), majors.begin() + 20).size(), 20U) << "a major repeated before all twenty";
  }
}

LUMEN_ON_BOTH_RADIOS(PhoneEndToEndTest);

}  // namespace
}  // namespace lumen
