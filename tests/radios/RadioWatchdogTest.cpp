// The scanner's watchdog over either radio: a radio that goes quiet is first
// asked to scan again, then reset and closed so the application can reopen it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "core/ConnectionTable.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Lumen.h"
#include "lumen/Scanner.h"
#include "radios/RadioUnderTest.h"
#include "scan/ScannerImpl.h"
#include "support/Guard.h"
#include "support/LogCapture.h"
#include "support/PhoneScenario.h"
#include "support/ScannerOnRadio.h"

namespace lumen {
namespace {

using namespace std::chrono_literals;
using testing::BothRadiosTest;
using testing::LogCapture;
using Operation = testing::RadioUnderTest::Operation;

using testing::kGuard;

// The phone only advertises.
const std::string kScenario = testing::Bled112Scenario(testing::PhonePeripheral({.rssi = std::nullopt, .gatt = ""}));

std::mutex g_mutex;
std::condition_variable g_changed;
int g_adverts = 0;
int g_hardwareFailures = 0;
std::vector<bool> g_softResets;

bool OnAdvert(std::shared_ptr<BluetoothDevice>& /*device*/) {
  {
    std::lock_guard lock(g_mutex);
    ++g_adverts;
  }
  g_changed.notify_all();
  return true;
}
void OnHardwareFailure() {
  std::lock_guard lock(g_mutex);
  ++g_hardwareFailures;
}
void OnSoftReset(bool removesDevice) {
  std::lock_guard lock(g_mutex);
  g_softResets.push_back(removesDevice);
}

class RadioWatchdogTest : public BothRadiosTest {
 protected:
  void SetUp() override {
    {
      std::lock_guard lock(g_mutex);
      g_adverts = 0;
      g_hardwareFailures = 0;
      g_softResets.clear();
    }
    details::ClearAllConnections();
    m_radio = MakeRadio(kScenario);
    ASSERT_TRUE(m_radio->Open());
    m_scanner = testing::ScannerTickedByHand();
    Set_HardwareFailureCallback(&OnHardwareFailure);
    Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
  }
  void TearDown() override { testing::CloseScannerAndRadio(m_scanner, m_radio); }
  Scanner::Impl& Impl() { return details::ScannerAccess::ImplOf(*m_scanner); }

  LogCapture m_log;
  std::unique_ptr<testing::RadioUnderTest> m_radio;
  std::unique_ptr<Scanner> m_scanner;
};

TEST_P(RadioWatchdogTest, SilentRadioIsAskedToScanAgainThenResetAndClosed) {
  m_scanner->StartLeScan();
  ASSERT_TRUE(m_radio->WaitFor(Operation::kScanStart, kGuard));
  m_radio->GoSilent();
  const size_t startsBefore = m_radio->Count(Operation::kScanStart);

  for (int tick = 0; tick < 10; ++tick) {
    Impl().TickNowForTesting();
  }
  EXPECT_TRUE(m_radio->WaitFor(Operation::kScanStart, kGuard, startsBefore + 1))
      << "the tenth silent tick restarts scanning";

  for (int tick = 10; tick < 300; ++tick) {
    Impl().TickNowForTesting();
  }
  // Both radios go away on a reset (the dongle re-enumerates, the board reboots),
  // so the port is closed for the application to reopen.
  EXPECT_TRUE(m_radio->WaitFor(Operation::kReset, kGuard));
  EXPECT_FALSE(m_scanner->IsConnected());
  std::lock_guard lock(g_mutex);
  EXPECT_EQ(g_softResets, std::vector<bool>{true});
  EXPECT_GE(g_hardwareFailures, 1);
}

TEST_P(RadioWatchdogTest, HeardRadioIsLeftAlone) {
  m_scanner->SetAdvCallback(&OnAdvert);
  m_scanner->StartLeScan();
  ASSERT_TRUE(m_radio->WaitFor(Operation::kScanStart, kGuard));
  for (int tick = 0; tick < 300; ++tick) {
    // A second of radio time per tick, and the tick only once it was heard.
    int heard = 0;
    {
      std::lock_guard lock(g_mutex);
      heard = g_adverts;
    }
    m_radio->Clock().AdvanceMs(1000);
    {
      std::unique_lock lock(g_mutex);
      ASSERT_TRUE(g_changed.wait_for(lock, kGuard, [&] { return g_adverts > heard; })) << "tick " << tick;
    }
    Impl().TickNowForTesting();
  }
  EXPECT_EQ(m_radio->Count(Operation::kReset), 0U);
  EXPECT_TRUE(m_scanner->IsConnected());
  std::lock_guard lock(g_mutex);
  EXPECT_TRUE(g_softResets.empty());
}

LUMEN_ON_BOTH_RADIOS(RadioWatchdogTest);

}  // namespace
}  // namespace lumen
