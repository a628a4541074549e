// The scanner and the beacon against the virtual BLED112/BLE113 on a real
// pseudo-terminal, through the real Bluegiga provider.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/ConnectionTable.h"
#include "lumen/BeaconController.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "scan/ScannerImpl.h"
#include "sim/VirtualBled112.h"
#include "support/Guard.h"
#include "support/LogCapture.h"
#include "support/PhoneScenario.h"
#include "support/ScannerOnRadio.h"

namespace lumen {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;

using testing::kGuard;

// The phone advertises its service; its GATT table holds only a device name.
std::string Scenario(const std::string& variant) {
  return testing::Bled112Scenario(
      testing::PhonePeripheral(
          {.gatt =
               R"([{"uuid": "1800", "characteristics": [{"uuid": "2a00", "properties": ["read"], "value_text": "A"}]}])"}),
      variant);
}

using testing::kPhoneService;

struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  int adverts = 0;
  std::vector<std::wstring> jobs;
  std::vector<std::string> jobAddresses;
  int hardwareFailures = 0;
  std::vector<bool> softResets;

  void Clear() {
    std::lock_guard lock(mutex);
    adverts = 0;
    jobs.clear();
    jobAddresses.clear();
    hardwareFailures = 0;
    softResets.clear();
  }
};
Seen g_seen;

bool OnAdvert(std::shared_ptr<BluetoothDevice>& /*device*/) {
  {
    std::lock_guard lock(g_seen.mutex);
    ++g_seen.adverts;
  }
  g_seen.changed.notify_all();
  return true;
}

bool OnScan(const std::wstring& job, std::vector<std::shared_ptr<BluetoothDevice>>& devices) {
  std::lock_guard lock(g_seen.mutex);
  g_seen.jobs.push_back(job);
  for (const auto& device : devices) {
    g_seen.jobAddresses.push_back(device->address().ToString());
  }
  return true;
}

void OnHardwareFailure() {
  std::lock_guard lock(g_seen.mutex);
  ++g_seen.hardwareFailures;
}

void OnSoftReset(bool removesDevice) {
  std::lock_guard lock(g_seen.mutex);
  g_seen.softResets.push_back(removesDevice);
}

class ScannerSimTest : public ::testing::Test {
 protected:
  void Open(const std::string& variant) {
    g_seen.Clear();
    details::ClearAllConnections();
    m_radio = std::make_unique<sim::VirtualBled112>(sim::Scenario::FromJson(Scenario(variant)));
    ASSERT_TRUE(Initialize(m_radio->Path(), 0, variant == "dongle" ? BLED112Dongle : BLE113, false));
    m_scanner = testing::ScannerTickedByHand();
    Set_HardwareFailureCallback(&OnHardwareFailure);
    Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
  }

  void TearDown() override { testing::CloseScannerAndRadio(m_scanner, m_radio); }

  Scanner::Impl& Impl() { return details::ScannerAccess::ImplOf(*m_scanner); }

  bool WaitForAdverts(int count) {
    std::unique_lock lock(g_seen.mutex);
    return g_seen.changed.wait_for(lock, kGuard, [&] { return g_seen.adverts >= count; });
  }

  LogCapture m_log;
  std::unique_ptr<sim::VirtualBled112> m_radio;
  std::unique_ptr<Scanner> m_scanner;
};

TEST_F(ScannerSimTest, JobIsResolvedFromTheRadiosAdvertisements) {
  Open("dongle");
  m_scanner->SetAdvCallback(&OnAdvert);
  m_scanner->SetScanCallback(&OnScan);
  m_scanner->AddScanJob(L"phone", {kPhoneService});
  ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));

  m_radio->Clock().AdvanceMs(300);
  ASSERT_TRUE(WaitForAdverts(2));
  Impl().TickNowForTesting();

  std::lock_guard lock(g_seen.mutex);
  ASSERT_EQ(g_seen.jobs, std::vector<std::wstring>{L"phone"});
  EXPECT_EQ(g_seen.jobAddresses, std::vector<std::string>{"5a:10:20:30:40:50"});
}

TEST_F(ScannerSimTest, SilentRadioIsRestartedThenResetAndClosed) {
  Open("dongle");
  m_scanner->StartLeScan();  // this firmware scans continuously
  ASSERT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));
  m_radio->Faults().GoSilent();

  for (int tick = 0; tick < 10; ++tick) {
    Impl().TickNowForTesting();
  }
  EXPECT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard, 2)) << "the tenth silent tick restarts scanning";

  for (int tick = 10; tick < 300; ++tick) {
    Impl().TickNowForTesting();
  }
  const auto reset = m_radio->WaitForCommand("system_delay_reset", kGuard);
  ASSERT_TRUE(reset.has_value());
  EXPECT_EQ(reset->Decode()->Int("delay_ms"), 3000);
  EXPECT_FALSE(m_scanner->IsConnected()) << "the dongle's port is closed before it re-enumerates";
  std::lock_guard lock(g_seen.mutex);
  EXPECT_EQ(g_seen.softResets, std::vector<bool>{true});
  EXPECT_GE(g_seen.hardwareFailures, 1);
}

TEST_F(ScannerSimTest, RadioErrorResetsAModuleAndWaitsForItsBoot) {
  Open("module");
  m_radio->Faults().SendRadioError();
  ASSERT_TRUE(
      m_log.WaitFor(Logger::INFO, "ForceResetAfterHardwareRadioError: after hardware_radio_error, done handling"));
  EXPECT_FALSE(m_log.HasContaining(Logger::ERROR, "bad_any_cast")) << "the boot event must reach the waiting reset";
  EXPECT_FALSE(m_log.Has(Logger::ERROR, "ForceResetAfterHardwareRadioError: DelayedNonDFUReset failed"));
  EXPECT_TRUE(m_radio->WaitForSent("system_boot", kGuard)) << "the reset happened and the module booted";
  EXPECT_TRUE(m_scanner->IsConnected()) << "a module keeps its port";
  std::lock_guard lock(g_seen.mutex);
  EXPECT_EQ(g_seen.hardwareFailures, 1);
  EXPECT_EQ(g_seen.softResets, std::vector<bool>{false});
}

TEST_F(ScannerSimTest, BeaconPutsTheIBeaconFrameOnTheRadio) {
  Open("module");
  {
    BeaconController beacon({kPhoneService}, 160);
    ASSERT_TRUE(m_radio->WaitForCommand("gap_set_mode", kGuard));
  }
  const auto data = m_radio->WaitForCommand("gap_set_adv_data", kGuard);
  ASSERT_TRUE(data.has_value());
  const auto message = data->Decode();
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->Int("set_scanrsp"), 0);
  const auto& frame = message->Array("adv_data");
  ASSERT_EQ(frame.size(), 30u);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 13),
            (std::vector<uint8_t>{0x02, 0x01, 0x06, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15, 0xA3, 0xC8, 0x75, 0x00}));
  EXPECT_EQ(frame[29], 0xC0);
  // Destruction stopped advertising: the last mode set is "not discoverable".
  ASSERT_TRUE(m_radio->WaitForCommand("gap_set_mode", kGuard, 2));
  const auto stop = m_radio->WaitForCommand("gap_set_mode", kGuard, 2)->Decode();
  EXPECT_EQ(stop->Int("discover"), 0);
}

}  // namespace
}  // namespace lumen
