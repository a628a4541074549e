// A session recorded from the virtual BLED112 and replayed into a fresh
// library: the application sees what it saw the first time, and the library
// sends the radio exactly the captured commands.
#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bluegiga/BGCalls.h"
#include "core/ConnectionTable.h"
#include "lumen/BluegigaCommands.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Capture.h"
#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "lumen/Lumen.h"
#include "lumen/RadioHealth.h"
#include "lumen/Scanner.h"
#include "scan/ScannerImpl.h"
#include "sim/CaptureFile.h"
#include "sim/CaptureReplay.h"
#include "sim/VirtualBled112.h"
#include "support/Guard.h"
#include "support/PhoneScenario.h"

namespace lumen {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

using testing::kGuard;
using testing::kNotifying;
using testing::kPhoneAddress;
using testing::kPhoneService;
using testing::kShortValue;
using testing::kWritable;

const std::string kScenario =
    testing::Bled112Scenario(testing::PhonePeripheral({.shortValue = "c0ffee", .longValue = false}));

// What the application saw.
struct Outcome {
  std::string phone;
  bool connected = false;
  Bytes readValue;
  std::vector<Bytes> notifications;
  uint64_t garbageBytes = 0;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  out << "phone " << outcome.phone << (outcome.connected ? ", connected" : ", not connected") << ", read "
      << outcome.readValue.size() << " bytes, " << outcome.notifications.size() << " notifications, "
      << outcome.garbageBytes << " garbage bytes";
  return out;
}

// Callbacks are plain function pointers: the session's state is global.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::shared_ptr<BluetoothDevice> phone;
  std::vector<Bytes> notifications;
};
Seen* g_seen = nullptr;

bool OnAdvert(std::shared_ptr<BluetoothDevice>& device) {
  if (device->address().ToString() == kPhoneAddress) {
    {
      std::lock_guard lock(g_seen->mutex);
      if (!g_seen->phone) {
        g_seen->phone = device;
      }
    }
    g_seen->changed.notify_all();
  }
  return true;
}

// What the radio does on its own in the recording; the replay plays it back.
struct RadioActions {
  std::function<void()> letAdvertisementsCome = [] {};
  std::function<void()> sendGarbage = [] {};
};

// Scan, find the phone, connect, read, get notifications, survive garbage on
// the line, disconnect. The radio's clock never runs by itself, and the
// scanner's tick is off, so the library sends only what the session asks for.
Outcome RunSession(const std::string& port, const RadioActions& radio) {
  Seen seen;
  g_seen = &seen;
  Outcome outcome;
  EXPECT_TRUE(Initialize(port, 0, BLED112Dongle, false));
  {
    std::unique_ptr<Scanner> scanner = GetScanner();
    details::ScannerAccess::ImplOf(*scanner).SetTickIntervalForTesting(std::chrono::hours(24));
    scanner->SetAdvCallback(&OnAdvert);
    scanner->StartLeScan();
    radio.letAdvertisementsCome();
    std::shared_ptr<BluetoothDevice> phone;
    {
      std::unique_lock lock(seen.mutex);
      seen.changed.wait_for(lock, kGuard, [&] { return seen.phone != nullptr; });
      phone = seen.phone;
    }
    scanner->StopLeScan();
    if (phone) {
      outcome.phone = phone->address().ToString();
      phone->Connect();
      outcome.connected = phone->IsConnected();
      auto service = phone->GetService(kPhoneService);
      outcome.readValue = service->GetCharacteristic(kShortValue)->ReadValue(true);
      auto notifying = service->GetCharacteristic(kNotifying);
      notifying->SetCharacteristicChangedCallback([](const Bytes& value) {
        {
          std::lock_guard lock(g_seen->mutex);
          g_seen->notifications.push_back(value);
        }
        g_seen->changed.notify_all();
      });
      notifying->EnableCharacteristicNotification(true);
      service->GetCharacteristic(kWritable)->WriteValue({0x01}, true, false);
      {
        std::unique_lock lock(seen.mutex);
        seen.changed.wait_for(lock, kGuard, [&] { return seen.notifications.size() >= 3; });
        outcome.notifications = seen.notifications;
      }
      radio.sendGarbage();
      // The garbage came before the answer to this.
      EXPECT_TRUE(details::BGCalls::Hello());
      outcome.garbageBytes = GetRadioHealth().garbageBytes;
      phone->Disconnect();
      std::lock_guard lock(seen.mutex);
      seen.phone.reset();
    }
  }
  UnInitialize();
  g_seen = nullptr;
  return outcome;
}

class RecordReplayTest : public ::testing::Test {
 protected:
  void SetUp() override { details::ClearAllConnections(); }
  void TearDown() override {
    StopCapture();
    std::filesystem::remove(m_capture);
    details::ClearAllConnections();
  }

  const std::string m_capture =
      (std::filesystem::temp_directory_path() / ("lumen-record-" + std::to_string(::getpid()) + ".pcapng")).string();
};

TEST_F(RecordReplayTest, ReplayedSessionGivesTheApplicationWhatTheRecordedOneDid) {
  Outcome recorded;
  {
    sim::VirtualBled112 radio(sim::Scenario::FromJson(kScenario));
    StartCapture(m_capture);
    RadioActions actions;
    actions.letAdvertisementsCome = [&] { radio.Clock().AdvanceMs(100); };
    actions.sendGarbage = [&] { radio.Faults().SendGarbage(Bytes{0xde, 0xad, 0xbe, 0xef}); };
    recorded = RunSession(radio.Path(), actions);
    StopCapture();
  }
  ASSERT_EQ(recorded.phone, kPhoneAddress);
  ASSERT_TRUE(recorded.connected);
  ASSERT_EQ(recorded.readValue, (Bytes{0xc0, 0xff, 0xee}));
  ASSERT_EQ(recorded.notifications, (std::vector<Bytes>{{0x01, 0x01}, {0x01, 0x02}, {0x01, 0x03}}));
  ASSERT_EQ(recorded.garbageBytes, 4u);

  sim::CaptureReplayOptions options;
  options.pace = sim::ReplayPace::kFast;
  sim::CaptureReplay replay(sim::ReadCaptureFile(m_capture), options);
  const Outcome replayed = RunSession(replay.Path(), RadioActions{});

  EXPECT_EQ(replayed, recorded);
  const sim::ReplaySummary summary = replay.Summary();
  std::string reports;
  for (const std::string& line : replay.Reports()) {
    reports += line + "\n";
  }
  EXPECT_TRUE(summary.Followed()) << summary.Text() << "\n" << reports;
  EXPECT_GT(summary.commandsMatched, 10u) << summary.Text();
}

}  // namespace
}  // namespace lumen
