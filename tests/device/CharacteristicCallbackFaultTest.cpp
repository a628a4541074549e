// A characteristic's changed callback that throws, against the virtual
// BLED112: the other subscribers of a notification and later notifications
// must still be served.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bluegiga/BluegigaSimFixture.h"
#include "core/ConnectionTable.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Scanner.h"
#include "scan/ScannerImpl.h"
#include "support/Guard.h"
#include "support/NotifiedValues.h"

namespace lumen {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

using testing::kGuard;

const Uuid kService(std::string("a3c87500-8ed3-4bdf-8a39-a01bebede295"));
const Uuid kWrite(std::string("a3c87501-8ed3-4bdf-8a39-a01bebede295"));
const Uuid kNotify(std::string("a3c87502-8ed3-4bdf-8a39-a01bebede295"));
using testing::kPhoneAddress;

// The phone as the scanner hands it to the application.
struct Found {
  std::mutex mutex;
  std::condition_variable changed;
  std::shared_ptr<BluetoothDevice> phone;
};
Found g_found;

bool KeepPhone(std::shared_ptr<BluetoothDevice>& device) {
  if (device->address().ToString() != kPhoneAddress) {
    return true;
  }
  {
    std::lock_guard lock(g_found.mutex);
    g_found.phone = device;
  }
  g_found.changed.notify_all();
  return true;
}

enum class Failure { kStdException, kOtherException };

class CharacteristicCallbackFaultTest : public testing::BluegigaSimTest, public ::testing::WithParamInterface<Failure> {
 protected:
  void SetUp() override {
    details::ClearAllConnections();
    Open(testing::PhonesScenario());
  }

  void TearDown() override {
    m_scanner.reset();
    {
      std::lock_guard lock(g_found.mutex);
      g_found.phone.reset();
    }
    BluegigaSimTest::TearDown();
    details::ClearAllConnections();
  }

  std::shared_ptr<BluetoothDevice> ConnectPhone() {
    m_scanner = GetScanner();
    details::ScannerAccess::ImplOf(*m_scanner).SetTickIntervalForTesting(std::chrono::hours(24));
    m_scanner->SetAdvCallback(&KeepPhone);
    m_scanner->StartLeScan();
    EXPECT_TRUE(m_radio->WaitForCommand("gap_discover", kGuard));
    m_radio->Clock().AdvanceMs(300);
    std::shared_ptr<BluetoothDevice> phone;
    {
      std::unique_lock lock(g_found.mutex);
      EXPECT_TRUE(g_found.changed.wait_for(lock, kGuard, [] { return g_found.phone != nullptr; }));
      phone = g_found.phone;
    }
    m_scanner->StopLeScan();
    if (phone) {
      phone->Connect();
    }
    return phone;
  }

  void Fail() const {
    if (GetParam() == Failure::kStdException) {
      throw std::runtime_error("application failure");
    }
    throw 42;
  }

  std::unique_ptr<Scanner> m_scanner;
};

TEST_P(CharacteristicCallbackFaultTest, FailingCallbackKeepsNoOtherSubscriberOrLaterNotificationFromArriving) {
  const auto phone = ConnectPhone();
  ASSERT_TRUE(phone && phone->IsConnected());
  // Outlive the characteristics whose callbacks use them.
  std::atomic<int> failures{0};
  testing::NotifiedValues listened;

  auto service = phone->GetService(kService);
  // Two objects for the same characteristic: the failing one subscribed first.
  auto failing = service->GetCharacteristic(kNotify);
  auto listening = service->GetCharacteristic(kNotify);
  failing->SetCharacteristicChangedCallback([&](const Bytes&) {
    ++failures;
    Fail();
  });
  listening->SetCharacteristicChangedCallback(listened.Callback());
  failing->EnableCharacteristicNotification(true);

  // The peer answers a write with three notifications.
  service->GetCharacteristic(kWrite)->WriteValue({0x07}, true, false);

  EXPECT_TRUE(listened.WaitForCount(3, kGuard));
  EXPECT_EQ(listened.Values(), (std::vector<Bytes>{{0x01, 0x01}, {0x01, 0x02}, {0x01, 0x03}}));
  EXPECT_EQ(failures.load(), 3);
  const std::string expected = GetParam() == Failure::kStdException
                                   ? "characteristic changed callback caused exception: application failure"
                                   : "characteristic changed callback caused non-std::exception";
  EXPECT_EQ(m_log.Count(Logger::WARNING, expected), 3U);
}

std::string FailureName(const ::testing::TestParamInfo<Failure>& failure) {
  return failure.param == Failure::kStdException ? "StdException" : "OtherException";
}

INSTANTIATE_TEST_SUITE_P(BothKinds, CharacteristicCallbackFaultTest,
                         ::testing::Values(Failure::kStdException, Failure::kOtherException), FailureName);

}  // namespace
}  // namespace lumen
