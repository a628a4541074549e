// Captures of a Bluegiga session on the virtual BLED112, read back with the
// virtual radios' own reader.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "CaptureTestSupport.h"
#include "bluegiga/BgApi.h"
#include "bluegiga/BluegigaSimFixture.h"
#include "core/CallbacksManager.h"
#include "core/CaptureTap.h"
#include "core/CommonDataNotificationEvent.h"
#include "lumen/Capture.h"
#include "lumen/Errors.h"
#include "support/Guard.h"

namespace lumen::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::CaptureRecord;
using sim::Frame;

// Bytes no BLE radio's header can start with (technology bits set).
const Bytes kGarbage{0xFF, 0xFE, 0xF9, 0xFA, 0xFB};
const Bytes kGarbageBeforeResponse{0xF8, 0xFC, 0xFD};

// The radio's output as (kind, bytes), runs of garbage joined: the capture
// may cut a run where the radio's log does not, and the other way round.
std::vector<std::pair<uint8_t, Bytes>> Joined(std::vector<std::pair<uint8_t, Bytes>> items) {
  std::vector<std::pair<uint8_t, Bytes>> joined;
  for (auto& [kind, bytes] : items) {
    if (kind == CaptureRecord::kGarbage && !joined.empty() && joined.back().first == CaptureRecord::kGarbage) {
      joined.back().second.insert(joined.back().second.end(), bytes.begin(), bytes.end());
    } else {
      joined.emplace_back(kind, std::move(bytes));
    }
  }
  return joined;
}

std::vector<std::pair<uint8_t, Bytes>> FromRadioRecords(const sim::Capture& capture) {
  std::vector<std::pair<uint8_t, Bytes>> items;
  for (const CaptureRecord& record : capture.records) {
    if (record.kind == CaptureRecord::kBgapiFromRadio || record.kind == CaptureRecord::kGarbage) {
      EXPECT_EQ(record.direction, CaptureRecord::kInbound);
      items.emplace_back(record.kind, record.body);
    }
  }
  return Joined(std::move(items));
}

std::vector<std::pair<uint8_t, Bytes>> SentByRadio(const sim::VirtualBled112& radio) {
  std::vector<std::pair<uint8_t, Bytes>> items;
  for (const Frame& frame : radio.SentFrames()) {
    items.emplace_back(frame.name.empty() ? CaptureRecord::kGarbage : CaptureRecord::kBgapiFromRadio, frame.bytes);
  }
  return Joined(std::move(items));
}

std::vector<Bytes> ToRadioRecords(const sim::Capture& capture) {
  std::vector<Bytes> commands;
  for (const CaptureRecord& record : capture.records) {
    if (record.kind == CaptureRecord::kBgapiToRadio) {
      EXPECT_EQ(record.direction, CaptureRecord::kOutbound);
      commands.push_back(record.body);
    }
  }
  return commands;
}

std::vector<Bytes> ReceivedByRadio(const sim::VirtualBled112& radio) {
  std::vector<Bytes> commands;
  for (const Frame& frame : radio.ReceivedCommands()) {
    commands.push_back(frame.bytes);
  }
  return commands;
}

std::vector<std::string> Notes(const sim::Capture& capture) {
  std::vector<std::string> notes;
  for (const CaptureRecord& record : RecordsOfKind(capture, CaptureRecord::kNote)) {
    notes.push_back(record.Text());
  }
  return notes;
}

class BluegigaCaptureTest : public BluegigaSimTest {
 protected:
  void TearDown() override {
    StopCapture();
    BluegigaSimTest::TearDown();
  }

  // Scans until an advertisement has come in, then stops.
  void ScanForAnAdvertisement() {
    std::promise<void> advertised;
    std::atomic<bool> fired{false};
    int id = 0;
    details::Subscribe<const details::bglib::ble_msg_gap_scan_response_evt_t*>(
        "ble_evt_gap_scan_response",
        [&](const details::bglib::ble_msg_gap_scan_response_evt_t*) {
          if (!fired.exchange(true)) {
            advertised.set_value();
          }
        },
        &id);
    Sdk().StartScan(false);
    m_radio->Clock().AdvanceMs(250);
    EXPECT_EQ(advertised.get_future().wait_for(kGuard), std::future_status::ready);
    details::Unsubscribe(id);
    Sdk().EndProcedure();
  }

  CaptureDir m_dir;
};

TEST_F(BluegigaCaptureTest, SessionIsCapturedByteForByteBothWaysWithGarbageAndSilence) {
  const std::string path = m_dir.File("session.pcapng");
  StartCapture(path);
  Open(PhonesScenario(), BLED112Dongle, true);
  ScanForAnAdvertisement();

  const auto h = Connect();
  EXPECT_EQ(Sdk().ReadByHandle(h, ValueHandle(h, kShortValue)), Bytes{0x01});
  EXPECT_EQ(NotificationsAfterAWrite(h).size(), 3U);

  // Garbage alone, then garbage in the same write as a response.
  m_radio->Faults().SendGarbage(kGarbage);
  EXPECT_EQ(Sdk().ReadByHandle(h, ValueHandle(h, kShortValue)), Bytes{0x01});
  m_radio->Faults().GarbageBeforeNextFrame("ble_rsp_connection_get_rssi", kGarbageBeforeResponse);
  int8_t rssi = 0;
  EXPECT_TRUE(Sdk().GetRSSI(h, &rssi));

  // A command the radio does not answer.
  details::BGCalls::SetTimeouts(200, 200);
  m_radio->Faults().IgnoreNextCommand("ble_cmd_system_hello");
  EXPECT_FALSE(details::BGCalls::Hello());
  details::BGCalls::SetTimeouts(3000, 3000);

  Sdk().Disconnect(h);
  UnInitialize();
  StopCapture();

  const sim::Capture capture = sim::ReadCaptureFile(path);
  KeepCapture(path, "bled112-session.pcapng");
  EXPECT_EQ(capture.interfaceName, "");  // no port was open when the capture started

  EXPECT_EQ(ToRadioRecords(capture), ReceivedByRadio(*m_radio));
  const auto fromRadio = FromRadioRecords(capture);
  EXPECT_EQ(fromRadio, SentByRadio(*m_radio));
  std::vector<Bytes> garbage;
  for (const auto& [kind, bytes] : fromRadio) {
    if (kind == CaptureRecord::kGarbage) {
      garbage.push_back(bytes);
    }
  }
  EXPECT_EQ(garbage, (std::vector<Bytes>{kGarbage, kGarbageBeforeResponse}));

  const auto opened = RecordsOfKind(capture, CaptureRecord::kPortOpened);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].Text(), m_radio->Path());
  EXPECT_EQ(capture.records.front().kind, CaptureRecord::kPortOpened);
  const auto closed = RecordsOfKind(capture, CaptureRecord::kPortClosed);
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0].body, Bytes{0});  // by the library, no error
  EXPECT_EQ(capture.records.back().kind, CaptureRecord::kPortClosed);

  EXPECT_EQ(Notes(capture), std::vector<std::string>{"no response to ble_cmd_system_hello within 200 ms"});
  // The note follows the command it is about.
  size_t lastHello = 0;
  size_t note = 0;
  for (size_t i = 0; i < capture.records.size(); ++i) {
    if (capture.records[i].kind == CaptureRecord::kBgapiToRadio && capture.records[i].body == Bytes{0, 0, 0, 1}) {
      lastHello = i;
    }
    if (capture.records[i].kind == CaptureRecord::kNote) {
      note = i;
    }
  }
  EXPECT_LT(lastHello, note);

  for (size_t i = 1; i < capture.records.size(); ++i) {
    EXPECT_LE(capture.records[i - 1].timeUs, capture.records[i].timeUs);
  }
  const uint64_t now = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  EXPECT_LE(capture.records.back().timeUs, now);
  EXPECT_GT(capture.records.front().timeUs + 60'000'000, now);
}

TEST_F(BluegigaCaptureTest, UnplugShowsAsThePortLostWithTheCommandLeftUnanswered) {
  Open(PhonesScenario());
  const std::string path = m_dir.File("unplug.pcapng");
  StartCapture(path);
  details::BGCalls::SetTimeouts(60000, 60000);
  m_radio->Faults().StopAnswering();
  auto pending = std::async(std::launch::async, [this] { Sdk().SetTXPower(3); });
  ASSERT_TRUE(m_radio->WaitForCommand("hardware_set_txpower", kGuard));
  m_radio->Faults().Unplug();
  ASSERT_EQ(pending.wait_for(kGuard), std::future_status::ready);
  EXPECT_ANY_THROW(pending.get());
  StopCapture();

  const sim::Capture capture = sim::ReadCaptureFile(path);
  EXPECT_FALSE(capture.interfaceName.empty());  // the port open when the capture started
  ASSERT_GE(capture.records.size(), 2u);
  EXPECT_EQ(capture.records[0].kind, CaptureRecord::kBgapiToRadio);
  EXPECT_EQ(capture.records[0].body, m_radio->ReceivedCommands().back().bytes);
  const auto closed = RecordsOfKind(capture, CaptureRecord::kPortClosed);
  ASSERT_EQ(closed.size(), 1u);
  ASSERT_FALSE(closed[0].body.empty());
  EXPECT_EQ(closed[0].body[0], 1);  // lost
  EXPECT_FALSE(closed[0].Text().empty());
}

TEST_F(BluegigaCaptureTest, ACompletingEventThatNeverCameShowsAsANote) {
  Open(PhonesScenario());
  const auto h = Connect();
  const std::string path = m_dir.File("unfinished.pcapng");
  StartCapture(path);
  details::BGCalls::SetTimeouts(3000, 200);
  m_radio->Faults().LoseNextFrame("ble_evt_connection_disconnected");
  EXPECT_ANY_THROW(Sdk().Disconnect(h));
  StopCapture();

  const sim::Capture capture = sim::ReadCaptureFile(path);
  const std::vector<std::string> notes = Notes(capture);
  EXPECT_NE(
      std::find(notes.begin(), notes.end(), "no completing event for ble_cmd_connection_disconnect within 200 ms"),
      notes.end())
      << ::testing::PrintToString(notes);
}

TEST_F(BluegigaCaptureTest, BoundedCaptureRotatesIntoFilesThatEachReadAlone) {
  const std::string path = m_dir.File("rotated.pcapng");
  constexpr uint64_t kBound = 512;
  StartCapture(path, kBound, 100);
  Open(PhonesScenario(), BLED112Dongle, true);
  ScanForAnAdvertisement();
  UnInitialize();
  StopCapture();

  std::vector<std::string> files;
  for (int n = 100; n >= 1; --n) {
    const std::string rotated = path + "." + std::to_string(n);
    if (std::filesystem::exists(rotated)) {
      files.push_back(rotated);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(path + ".101"));
  files.push_back(path);
  ASSERT_GE(files.size(), 3u);

  std::vector<Bytes> commands;
  std::vector<std::pair<uint8_t, Bytes>> fromRadio;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    EXPECT_LE(std::filesystem::file_size(file), kBound);
    const sim::Capture part = sim::ReadCaptureFile(file);
    EXPECT_FALSE(part.records.empty());
    for (Bytes& command : ToRadioRecords(part)) {
      commands.push_back(std::move(command));
    }
    for (auto& item : FromRadioRecords(part)) {
      fromRadio.push_back(std::move(item));
    }
  }
  EXPECT_EQ(commands, ReceivedByRadio(*m_radio));
  EXPECT_EQ(fromRadio, SentByRadio(*m_radio));
}

TEST_F(BluegigaCaptureTest, RotationKeepsOnlyTheNewestFiles) {
  const std::string path = m_dir.File("kept.pcapng");
  StartCapture(path, 256, 2);
  Open(PhonesScenario(), BLED112Dongle, true);
  ScanForAnAdvertisement();
  UnInitialize();
  StopCapture();
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(std::filesystem::exists(path + ".1"));
  EXPECT_TRUE(std::filesystem::exists(path + ".2"));
  EXPECT_FALSE(std::filesystem::exists(path + ".3"));
  // The newest commands are all there, in order, at the end.
  std::vector<Bytes> commands;
  for (const std::string& file : {path + ".2", path + ".1", path}) {
    for (Bytes& command : ToRadioRecords(sim::ReadCaptureFile(file))) {
      commands.push_back(std::move(command));
    }
  }
  const std::vector<Bytes> all = ReceivedByRadio(*m_radio);
  ASSERT_LT(commands.size(), all.size());
  EXPECT_TRUE(std::equal(commands.rbegin(), commands.rend(), all.rbegin()));
}

TEST_F(BluegigaCaptureTest, OffWritesNothingAndABadPathThrowsAndLeavesItOff) {
  const std::string path = m_dir.File("off.pcapng");
  StopCapture();  // none running: harmless
  StartCapture(path);
  StopCapture();
  StopCapture();
  const auto sizeAfterStop = std::filesystem::file_size(path);
  Open(PhonesScenario());
  ScanForAnAdvertisement();
  EXPECT_EQ(std::filesystem::file_size(path), sizeAfterStop);
  EXPECT_TRUE(sim::ReadCaptureFile(path).records.empty());

  EXPECT_THROW(StartCapture(m_dir.File("no-such-dir/x.pcapng")), details::KesBluetoothSDKLibError);
  EXPECT_FALSE(details::Capturing());
  EXPECT_FALSE(std::filesystem::exists(m_dir.File("no-such-dir")));
  ScanForAnAdvertisement();
  StopCapture();
}

TEST_F(BluegigaCaptureTest, AFailedWriteEndsTheCaptureWithOneErrorLine) {
  CaptureDir gone;
  const std::string path = gone.File("x.pcapng");
  StartCapture(path, 300, 2);
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());  // rotation cannot rename any more
  Open(PhonesScenario(), BLED112Dongle, true);
  EXPECT_FALSE(details::Capturing());
  size_t errors = 0;
  for (const LogCapture::Line& line : m_log.Lines()) {
    if (line.type == Logger::ERROR && line.text.find("Capture ended") != std::string::npos) {
      ++errors;
      EXPECT_NE(line.text.find(path), std::string::npos) << line.text;
    }
  }
  EXPECT_EQ(errors, 1u);
  ScanForAnAdvertisement();  // the library goes on without it
  StopCapture();
}

TEST_F(BluegigaCaptureTest, ACaptureRunsAcrossUnInitializeAndTheNextInitialize) {
  const std::string path = m_dir.File("across.pcapng");
  StartCapture(path);
  Open(PhonesScenario());
  UnInitialize();
  ASSERT_TRUE(Initialize(m_radio->Path(), 0, BLED112Dongle, false));
  UnInitialize();
  StopCapture();
  const sim::Capture capture = sim::ReadCaptureFile(path);
  EXPECT_EQ(RecordsOfKind(capture, CaptureRecord::kPortOpened).size(), 2u);
  EXPECT_EQ(RecordsOfKind(capture, CaptureRecord::kPortClosed).size(), 2u);
  EXPECT_EQ(ToRadioRecords(capture), ReceivedByRadio(*m_radio));

  // No port is open now: a new capture names none.
  const std::string later = m_dir.File("later.pcapng");
  StartCapture(later);
  StopCapture();
  EXPECT_EQ(sim::ReadCaptureFile(later).interfaceName, "");
}

}  // namespace
}  // namespace lumen::testing
