#include "sim/CaptureReplay.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bluegiga/SimHostLine.h"
#include "support/TempPath.h"

namespace lumen::sim {
namespace {

using testing::HostLine;
using testing::kGuard;

constexpr uint64_t kStartUs = 1'765'000'000'000'000;

const char* const kHello = "00 00 00 01";
const char* const kHelloAnswer = "00 00 00 01";
const char* const kGetInfo = "00 00 00 08";
const char* const kGetInfoAnswer = "00 0c 00 08 01 00 08 00 00 00 95 00 06 00 01 01";
const char* const kDiscover = "00 01 06 02 01";
const char* const kDiscoverAnswer = "00 02 06 02 00 00";
const char* const kEndProcedure = "00 00 06 04";
const char* const kEndProcedureAnswer = "00 02 06 04 00 00";
const char* const kReadByHandle = "00 03 04 04 00 10 00";
const char* const kReset = "00 01 00 00 00";
const char* const kBoot = "80 0c 00 00 01 00 08 00 00 00 95 00 06 00 01 01";
const char* const kScanResponse = "80 0b 06 00 c4 00 50 40 30 20 10 5a 01 ff 00";
const char* const kDisconnected = "80 03 03 04 00 08 02";

// A capture written the way the library writes one, record by record.
class CaptureBuilder {
 public:
  CaptureBuilder& Command(const char* hex, uint64_t atMs) {
    return Add(CaptureRecord::kBgapiToRadio, CaptureRecord::kOutbound, ParseHex(hex), atMs);
  }
  CaptureBuilder& Radio(const char* hex, uint64_t atMs) {
    return Add(CaptureRecord::kBgapiFromRadio, CaptureRecord::kInbound, ParseHex(hex), atMs);
  }
  CaptureBuilder& Garbage(const char* hex, uint64_t atMs) {
    return Add(CaptureRecord::kGarbage, CaptureRecord::kInbound, ParseHex(hex), atMs);
  }
  CaptureBuilder& Note(const std::string& text, uint64_t atMs) {
    return Add(CaptureRecord::kNote, CaptureRecord::kNoDirection, Bytes(text.begin(), text.end()), atMs);
  }
  CaptureBuilder& PortOpened(const std::string& name, uint64_t atMs) {
    return Add(CaptureRecord::kPortOpened, CaptureRecord::kNoDirection, Bytes(name.begin(), name.end()), atMs);
  }
  CaptureBuilder& PortClosed(bool lost, const std::string& error, uint64_t atMs) {
    Bytes body{static_cast<uint8_t>(lost ? 1 : 0)};
    body.insert(body.end(), error.begin(), error.end());
    return Add(CaptureRecord::kPortClosed, CaptureRecord::kNoDirection, body, atMs);
  }
  // Through the file format, as the replay would get it from disk.
  Capture Build() const { return ParseCapture(SerializeCapture(m_capture)); }

 private:
  CaptureBuilder& Add(uint8_t kind, CaptureRecord::Direction direction, Bytes body, uint64_t atMs) {
    CaptureRecord record;
    record.timeUs = kStartUs + atMs * 1000;
    record.direction = direction;
    record.kind = kind;
    record.body = std::move(body);
    m_capture.records.push_back(std::move(record));
    return *this;
  }

  Capture m_capture{"/dev/ttyACM0", {}};
};

std::unique_ptr<CaptureReplay> Start(const CaptureBuilder& capture, ReplayPace pace,
                                     CaptureReplayOptions options = {}) {
  options.pace = pace;
  return std::make_unique<CaptureReplay>(capture.Build(), options);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// Sends a command and waits until the replay has taken it in.
void Send(HostLine& host, CaptureReplay& replay, const char* hex) {
  const size_t before = replay.CommandsHandled();
  host.WriteHex(hex);
  ASSERT_TRUE(replay.WaitForCommands(before + 1, kGuard)) << "the replay never took " << hex;
}

// Sends a command and reads the first frame that comes back.
std::string Ask(HostLine& host, CaptureReplay& replay, const char* hex) {
  Send(host, replay, hex);
  return host.ReadFrameHex();
}

TEST(CaptureReplayTest, AnswersAndGarbageComeBackByteForByteInOrder) {
  CaptureBuilder capture;
  capture.PortOpened("/dev/ttyACM0", 0)
      .Radio(kBoot, 1)
      .Garbage("fe ed", 2)
      .Command(kHello, 10)
      .Radio(kHelloAnswer, 11)
      .Garbage("de ad be", 12)
      .Command(kGetInfo, 20)
      .Note("a conclusion of the library's own", 21)
      .Radio(kGetInfoAnswer, 22)
      .Command(kDiscover, 30)
      .Radio(kDiscoverAnswer, 31)
      .Radio(kScanResponse, 900);
  auto replay = Start(capture, ReplayPace::kFast);
  HostLine host(replay->Path());
  ASSERT_TRUE(host.IsOpen());

  // Fast: nothing waits for the clock, which never moves here.
  EXPECT_EQ(ToHex(host.Read(18)), ToHex(ParseHex(std::string(kBoot) + "fe ed")));
  host.WriteHex(kHello);
  EXPECT_EQ(ToHex(host.Read(7)), ToHex(ParseHex(std::string(kHelloAnswer) + "de ad be")));
  host.WriteHex(kGetInfo);
  EXPECT_EQ(host.ReadFrameHex(), ToHex(ParseHex(kGetInfoAnswer)));
  host.WriteHex(kDiscover);
  EXPECT_EQ(host.ReadFrameHex(), ToHex(ParseHex(kDiscoverAnswer)));
  EXPECT_EQ(host.ReadFrameHex(), ToHex(ParseHex(kScanResponse)));

  EXPECT_TRUE(replay->WaitUntilFinished(kGuard));
  EXPECT_TRUE(replay->Reports().empty()) << Joined(replay->Reports());
  const ReplaySummary summary = replay->Summary();
  EXPECT_TRUE(summary.Followed()) << summary.Text();
  EXPECT_EQ(summary.commandsMatched, 3u);
  EXPECT_EQ(summary.radioRecords, 8u);  // the opened port, boot, garbage twice, three answers and the event
  EXPECT_EQ(summary.recordsPlayed, 8u);
  EXPECT_EQ(replay->Clock().PendingTimers(), 0u);
}

TEST(CaptureReplayTest, SameMessageWithOtherBytesIsReportedAndAnsweredFromTheCapture) {
  CaptureBuilder capture;
  capture.Command(kHello, 0)
      .Radio(kHelloAnswer, 1)
      .Command(kDiscover, 10)
      .Radio(kDiscoverAnswer, 11)
      .Command(kEndProcedure, 20)
      .Radio(kEndProcedureAnswer, 21);
  std::vector<std::string> sunk;
  std::mutex sunkMutex;
  CaptureReplayOptions options;
  options.report = [&](const std::string& line) {
    std::lock_guard lock(sunkMutex);
    sunk.push_back(line);
  };
  auto replay = Start(capture, ReplayPace::kFast, options);
  HostLine host(replay->Path());

  EXPECT_EQ(Ask(host, *replay, kHello), kHelloAnswer);
  Send(host, *replay, "00 01 06 02 02");  // observation instead of the captured general discovery
  EXPECT_EQ(host.ReadFrameHex(), kDiscoverAnswer);
  EXPECT_EQ(Ask(host, *replay, kEndProcedure), kEndProcedureAnswer);

  const std::vector<std::string> reports = replay->Reports();
  ASSERT_EQ(reports.size(), 1u) << Joined(reports);
  EXPECT_EQ(reports[0],
            "replay: command 2: host sent ble_cmd_gap_discover (00 01 06 02 02), capture has ble_cmd_gap_discover "
            "(00 01 06 02 01) (record 3, +0.010000 s); answered from the capture");
  {
    std::lock_guard lock(sunkMutex);
    EXPECT_EQ(sunk, reports);
  }
  const ReplaySummary summary = replay->Summary();
  EXPECT_EQ(summary.commandsMatched, 2u);
  EXPECT_EQ(summary.commandsDiverged, 1u);
  EXPECT_FALSE(summary.Followed());
  EXPECT_TRUE(replay->Finished());
}

TEST(CaptureReplayTest, CommandFurtherOnSkipsTheCapturedOnesBeforeIt) {
  CaptureBuilder capture;
  capture.Command(kHello, 0)
      .Radio(kHelloAnswer, 1)
      .Command(kGetInfo, 10)
      .Radio(kGetInfoAnswer, 11)
      .Command(kReset, 20)
      .Command(kDiscover, 30)
      .Radio(kDiscoverAnswer, 31)
      .Command(kEndProcedure, 40)
      .Radio(kEndProcedureAnswer, 41);
  auto replay = Start(capture, ReplayPace::kFast);
  HostLine host(replay->Path());

  EXPECT_EQ(Ask(host, *replay, kHello), kHelloAnswer);
  // The skipped commands' answers are not played: the discovery's comes next.
  EXPECT_EQ(Ask(host, *replay, kDiscover), kDiscoverAnswer);
  EXPECT_EQ(Ask(host, *replay, kEndProcedure), kEndProcedureAnswer);

  const std::vector<std::string> reports = replay->Reports();
  ASSERT_EQ(reports.size(), 1u) << Joined(reports);
  EXPECT_EQ(reports[0],
            "replay: command 2: host sent ble_cmd_gap_discover (00 01 06 02 01), capture has ble_cmd_system_get_info "
            "(00 00 00 08) (record 3, +0.010000 s); skipped 2 captured commands (ble_cmd_system_get_info "
            "(00 00 00 08) at record 3, +0.010000 s, ble_cmd_system_reset (00 01 00 00 00) at record 5, +0.020000 s) "
            "to record 6, +0.030000 s");
  const ReplaySummary summary = replay->Summary();
  EXPECT_EQ(summary.commandsMatched, 3u);
  EXPECT_EQ(summary.capturedSkipped, 2u);
  EXPECT_EQ(summary.recordsPlayed, 3u);
  EXPECT_EQ(summary.radioRecords, 4u);
  EXPECT_FALSE(summary.Followed());
}

TEST(CaptureReplayTest, CommandNotInTheCaptureIsLeftUnansweredAndTheReplayStaysWhereItWas) {
  CaptureBuilder capture;
  capture.Command(kHello, 0)
      .Radio(kHelloAnswer, 1)
      .Command(kGetInfo, 10)
      .Radio(kGetInfoAnswer, 11)
      .Command(kEndProcedure, 20)
      .Radio(kEndProcedureAnswer, 21)
      .Command(kDiscover, 30)
      .Radio(kDiscoverAnswer, 31);
  CaptureReplayOptions options;
  options.lookAhead = 1;
  auto replay = Start(capture, ReplayPace::kFast, options);
  HostLine host(replay->Path());

  EXPECT_EQ(Ask(host, *replay, kHello), kHelloAnswer);
  Send(host, *replay, kReadByHandle);  // nowhere in the capture
  Send(host, *replay, kDiscover);      // two captured commands on: past the look-ahead
  // Unanswered: the next answer the host gets is the one of the command it should have sent.
  EXPECT_EQ(Ask(host, *replay, kGetInfo), kGetInfoAnswer);
  EXPECT_EQ(Ask(host, *replay, kEndProcedure), kEndProcedureAnswer);
  EXPECT_EQ(Ask(host, *replay, kDiscover), kDiscoverAnswer);

  const std::vector<std::string> reports = replay->Reports();
  ASSERT_EQ(reports.size(), 2u) << Joined(reports);
  EXPECT_EQ(reports[0],
            "replay: command 2: host sent ble_cmd_attclient_read_by_handle (00 03 04 04 00 10 00), capture has "
            "ble_cmd_system_get_info (00 00 00 08) (record 3, +0.010000 s); not in the capture, left unanswered");
  EXPECT_EQ(reports[1].rfind("replay: command 3: host sent ble_cmd_gap_discover (00 01 06 02 01), capture has "
                             "ble_cmd_system_get_info",
                             0),
            0u)
      << reports[1];
  EXPECT_NE(reports[1].find("not in the capture, left unanswered"), std::string::npos) << reports[1];
  const ReplaySummary summary = replay->Summary();
  EXPECT_EQ(summary.commandsMatched, 4u);
  EXPECT_EQ(summary.commandsUnanswered, 2u);
  EXPECT_EQ(summary.capturedSkipped, 0u);
  EXPECT_EQ(summary.capturedNotSent, 0u);
}

TEST(CaptureReplayTest, CommandsPastTheEndAndBytesThatAreNoCommandAreReportedUnanswered) {
  CaptureBuilder capture;
  capture.Command(kHello, 0).Radio(kHelloAnswer, 1).Command(kGetInfo, 10).Radio(kGetInfoAnswer, 2000);
  auto replay = Start(capture, ReplayPace::kFast);
  HostLine host(replay->Path());

  EXPECT_EQ(Ask(host, *replay, kHello), kHelloAnswer);
  EXPECT_EQ(replay->Summary().capturedNotSent, 1u);
  EXPECT_FALSE(replay->Finished());
  EXPECT_EQ(Ask(host, *replay, kGetInfo), kGetInfoAnswer);
  EXPECT_TRUE(replay->Finished());
  Send(host, *replay, kHello);
  host.WriteHex("80 00 00 00");  // an event header, which no host sends
  ASSERT_TRUE(replay->WaitForReports(2, kGuard)) << Joined(replay->Reports());

  const std::vector<std::string> reports = replay->Reports();
  ASSERT_EQ(reports.size(), 2u) << Joined(reports);
  EXPECT_EQ(reports[0],
            "replay: command 3: host sent ble_cmd_system_hello (00 00 00 01) past the end of the capture (last "
            "record 4, +2.000000 s), left unanswered");
  EXPECT_EQ(reports[1], "replay: after command 3: host sent bytes that are no command (80 00 00 00), dropped");
  const ReplaySummary summary = replay->Summary();
  EXPECT_EQ(summary.commandsMatched, 2u);
  EXPECT_EQ(summary.commandsUnanswered, 2u);
  EXPECT_EQ(summary.recordsPlayed, 2u);
  EXPECT_FALSE(summary.Followed());
}

CaptureBuilder PacedCapture() {
  CaptureBuilder capture;
  capture.Command(kHello, 0)
      .Radio(kHelloAnswer, 2)
      .Radio(kBoot, 50)
      .Command(kDiscover, 100)
      .Radio(kDiscoverAnswer, 101)
      .Radio(kScanResponse, 130)
      .Command(kEndProcedure, 200)
      .Radio(kEndProcedureAnswer, 201)
      .Radio(kDisconnected, 5000);
  return capture;
}

TEST(CaptureReplayTest, CapturedPaceSendsEachRecordAtItsOffsetFromTheMatchedCommand) {
  auto replay = Start(PacedCapture(), ReplayPace::kCaptured);
  HostLine host(replay->Path());
  SimClock& clock = replay->Clock();

  clock.AdvanceMs(7);  // the host's first command comes a while after the start
  Send(host, *replay, kHello);
  clock.Advance(std::chrono::microseconds(1999));
  EXPECT_EQ(replay->Summary().recordsPlayed, 0u);
  clock.Advance(std::chrono::microseconds(1));
  EXPECT_EQ(replay->Summary().recordsPlayed, 1u);
  EXPECT_EQ(host.ReadFrameHex(), kHelloAnswer);
  clock.AdvanceMs(47);
  EXPECT_EQ(replay->Summary().recordsPlayed, 1u);
  clock.AdvanceMs(1);
  EXPECT_EQ(replay->Summary().recordsPlayed, 2u);
  EXPECT_EQ(host.ReadFrameHex(), kBoot);

  // The next command before the scan response is due: it goes out first, then the end's answer on time.
  Send(host, *replay, kDiscover);
  clock.AdvanceMs(1);
  EXPECT_EQ(host.ReadFrameHex(), kDiscoverAnswer);
  EXPECT_EQ(replay->Summary().recordsPlayed, 3u);
  Send(host, *replay, kEndProcedure);
  EXPECT_EQ(replay->Summary().recordsPlayed, 4u);
  EXPECT_EQ(host.ReadFrameHex(), kScanResponse);
  EXPECT_FALSE(replay->Finished());
  clock.AdvanceMs(1);
  EXPECT_EQ(host.ReadFrameHex(), kEndProcedureAnswer);
  clock.AdvanceMs(4798);
  EXPECT_EQ(replay->Summary().recordsPlayed, 5u);
  clock.AdvanceMs(1);
  EXPECT_EQ(host.ReadFrameHex(), kDisconnected);
  EXPECT_TRUE(replay->Finished());
  EXPECT_TRUE(replay->Summary().Followed()) << Joined(replay->Reports());
}

TEST(CaptureReplayTest, FastPaceSendsWhatFollowsACommandWithoutWaiting) {
  auto replay = Start(PacedCapture(), ReplayPace::kFast);
  HostLine host(replay->Path());
  EXPECT_EQ(Ask(host, *replay, kHello), kHelloAnswer);
  EXPECT_EQ(host.ReadFrameHex(), kBoot);
  Send(host, *replay, kDiscover);
  Send(host, *replay, kEndProcedure);
  EXPECT_EQ(host.ReadFrameHex(), kDiscoverAnswer);
  EXPECT_EQ(host.ReadFrameHex(), kScanResponse);
  EXPECT_EQ(host.ReadFrameHex(), kEndProcedureAnswer);
  EXPECT_EQ(host.ReadFrameHex(), kDisconnected);
  EXPECT_TRUE(replay->Finished());
  EXPECT_EQ(replay->Clock().Now().count(), 0);
}

TEST(CaptureReplayTest, LostPortHangsUpAndTheNextOpenedPortIsANewTerminal) {
  CaptureBuilder capture;
  capture.PortOpened("/dev/ttyACM0", 0)
      .Command(kHello, 10)
      .Radio(kHelloAnswer, 11)
      .Command(kReset, 20)
      .PortClosed(true, "the device went away", 25)
      .Note("the radio is gone", 26)
      .PortOpened("/dev/ttyACM1", 3000)
      .Radio(kBoot, 3001)
      .Command(kHello, 3100)
      .Radio(kHelloAnswer, 3101)
      .PortClosed(false, "", 4000);
  const std::filesystem::path link = lumen::testing::UniqueTempPath("lumen-replay-link");
  CaptureReplayOptions options;
  options.linkPath = link.string();
  auto replay = Start(capture, ReplayPace::kCaptured, options);
  std::vector<std::string> paths;
  std::mutex pathsMutex;
  replay->SetPathCallback([&](const std::string& path) {
    std::lock_guard lock(pathsMutex);
    paths.push_back(path);
  });
  const std::string first = replay->Path();
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), first);
  HostLine host(first);

  Send(host, *replay, kHello);
  replay->Clock().AdvanceMs(1);
  EXPECT_EQ(host.ReadFrameHex(), kHelloAnswer);
  Send(host, *replay, kReset);
  replay->Clock().AdvanceMs(4);
  EXPECT_EQ(replay->Summary().recordsPlayed, 2u);  // the opened port and the answer; the loss is 1 ms away
  replay->Clock().AdvanceMs(1);
  EXPECT_TRUE(host.WaitForHangup());
  EXPECT_EQ(replay->Path(), "");
  replay->Clock().AdvanceMs(2974);
  EXPECT_EQ(replay->Generation(), 1u);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  replay->Clock().AdvanceMs(1);

  const std::string second = replay->WaitForGeneration(2, kGuard);
  ASSERT_FALSE(second.empty());
  EXPECT_NE(second, first);
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), second);
  HostLine again(second);
  replay->Clock().AdvanceMs(1);
  EXPECT_EQ(again.ReadFrameHex(), kBoot);
  Send(again, *replay, kHello);
  replay->Clock().AdvanceMs(1);
  EXPECT_EQ(again.ReadFrameHex(), kHelloAnswer);

  EXPECT_TRUE(replay->Finished());
  EXPECT_TRUE(replay->Summary().Followed()) << Joined(replay->Reports());
  std::lock_guard lock(pathsMutex);
  EXPECT_EQ(paths, (std::vector<std::string>{"", second}));
}

}  // namespace
}  // namespace lumen::sim
