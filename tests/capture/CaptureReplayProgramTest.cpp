// lumen-sim --replay as a user runs it: a capture file on disk, the host on the printed terminal.
#ifdef LUMEN_SIM_PROGRAM

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "bluegiga/SimHostLine.h"
#include "sim/CaptureFile.h"
#include "support/ChildProcess.h"
#include "support/Guard.h"
#include "support/TempPath.h"

namespace lumen::sim {
namespace {

using lumen::testing::ChildProcess;
using lumen::testing::kGuard;
using testing::HostLine;

class CaptureReplayProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Capture capture{"/dev/ttyACM0", {}};
    auto add = [&](uint8_t kind, CaptureRecord::Direction direction, const char* hex, uint64_t atMs) {
      capture.records.push_back(CaptureRecord{1'765'000'000'000'000 + atMs * 1000, direction, kind, ParseHex(hex)});
    };
    add(CaptureRecord::kBgapiToRadio, CaptureRecord::kOutbound, "00 00 00 01", 0);  // hello
    add(CaptureRecord::kBgapiFromRadio, CaptureRecord::kInbound, "00 00 00 01", 5);
    add(CaptureRecord::kGarbage, CaptureRecord::kInbound, "fe ed", 6);
    const Bytes file = SerializeCapture(capture);
    std::ofstream(m_capturePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  }
  void TearDown() override { std::filesystem::remove(m_capturePath); }

  // The terminal's path, from the program's first line.
  std::string StartReplay(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--replay", m_capturePath.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    m_program.Start(LUMEN_SIM_PROGRAM, args);
    if (!m_program.WaitForLine("/", kGuard)) return {};
    return m_program.Lines().front();
  }

  const std::filesystem::path m_capturePath = lumen::testing::UniqueTempPath("lumen-replay", ".pcapng");
  ChildProcess m_program;
};

TEST_F(CaptureReplayProgramTest, HostThatFollowsTheCaptureEndsItWithStatusZero) {
  const std::string path = StartReplay({"--pace", "captured"});
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << m_program.Output();
  HostLine host(path);
  host.WriteHex("00 00 00 01");
  EXPECT_EQ(ToHex(host.Read(6)), "00 00 00 01 fe ed");
  // Played out, then quiet: the program ends by itself.
  EXPECT_EQ(m_program.WaitForExit(kGuard), 0) << m_program.Output();
  EXPECT_EQ(m_program.CountLines("replay: 1 commands matched, 0 diverged, 0 unanswered; captured commands: "
                                 "0 skipped, 0 never sent; 2 of 2 radio records played"),
            1u)
      << m_program.Output();
}

TEST_F(CaptureReplayProgramTest, HostThatDivergesIsReportedAndEndsItWithStatusOne) {
  const std::string path = StartReplay({"--pace", "fast"});
  ASSERT_EQ(path.rfind("/dev/", 0), 0u) << m_program.Output();
  HostLine host(path);
  host.WriteHex("00 00 00 08");  // get_info instead of hello
  EXPECT_TRUE(
      m_program.WaitForLine("replay: command 1: host sent ble_cmd_system_get_info (00 00 00 08), capture "
                            "has ble_cmd_system_hello (00 00 00 01) (record 1, +0.000000 s); not in the "
                            "capture, left unanswered",
                            kGuard))
      << m_program.Output();
  m_program.CloseInput();
  EXPECT_EQ(m_program.WaitForExit(kGuard), 1) << m_program.Output();
  EXPECT_TRUE(m_program.WaitForLine("1 never sent", kGuard)) << m_program.Output();
}

TEST_F(CaptureReplayProgramTest, UnreadableCaptureIsRefused) {
  std::ofstream(m_capturePath, std::ios::trunc) << "not a capture";
  m_program.Start(LUMEN_SIM_PROGRAM, {"--replay", m_capturePath.string()});
  EXPECT_EQ(m_program.WaitForExit(kGuard), 3) << m_program.Output();
  EXPECT_TRUE(m_program.WaitForLine("lumen-sim: " + m_capturePath.string(), kGuard)) << m_program.Output();
}

TEST_F(CaptureReplayProgramTest, CaptureWithNothingToReplayIsRefused) {
  Capture capture{"", {}};
  capture.records.push_back(
      CaptureRecord{1'765'000'000'000'000, CaptureRecord::kOutbound, CaptureRecord::kNrfCall, ParseHex("00 00 00 00")});
  const Bytes file = SerializeCapture(capture);
  std::ofstream(m_capturePath, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  m_program.Start(LUMEN_SIM_PROGRAM, {"--replay", m_capturePath.string()});
  EXPECT_EQ(m_program.WaitForExit(kGuard), 3) << m_program.Output();
  EXPECT_TRUE(m_program.WaitForLine("no BGAPI records to replay", kGuard)) << m_program.Output();
}

}  // namespace
}  // namespace lumen::sim

#endif  // LUMEN_SIM_PROGRAM
