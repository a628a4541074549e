// An nRF52 board whose port goes away with the library's recovery on: the
// library reopens it once the port is back and scanning resumes by itself.
#include <gmock/gmock.h>

#include <condition_variable>

#include "core/RadioRecovery.h"
#include "lumen/Scanner.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

struct RadioBack {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<bool> calls;  // `reopened` of each call

  static RadioBack& Instance() {
    static RadioBack instance;
    return instance;
  }
  static void On(bool reopened, uint64_t /*awayMs*/) {
    {
      std::lock_guard lock(Instance().mutex);
      Instance().calls.push_back(reopened);
    }
    Instance().changed.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 30s, [&] { return calls.size() >= count; });
  }
};

class NordicRadioRecoveryTest : public NordicSimTest {
 protected:
  void SetUp() override {
    RadioBack::Instance().calls.clear();
    Set_RadioBackCallback(&RadioBack::On);
    SetRadioRecovery(true);
    OpenBoard();
  }
  void TearDown() override {
    m_scanner.reset();
    NordicSimTest::TearDown();
    SetRadioRecovery(false);
    Set_RadioBackCallback(nullptr);
  }
  std::unique_ptr<Scanner> m_scanner;
};

TEST_F(NordicRadioRecoveryTest, UnpluggedBoardIsReopenedOnceItsPortReturnsAndScanningResumes) {
  m_scanner = GetScanner();
  m_scanner->StartLeScan();
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gap_scan_start", 1, 10s));

  Board().Faults().Unplug();
  ASSERT_TRUE(m_log.WaitForContaining(Logger::WARNING, "is away; lumen reopens it once its port returns"));
  EXPECT_TRUE(details::IsRadioAway());
  try {
    Sdk().StartScan(false);
    ADD_FAILURE() << "scanning started on a radio that is away";
  } catch (const std::exception& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("the radio is away"));
  }
  {
    std::lock_guard lock(RadioBack::Instance().mutex);
    EXPECT_TRUE(RadioBack::Instance().calls.empty()) << "not back while the port is away";
  }

  Board().Faults().Replug();
  ASSERT_TRUE(RadioBack::Instance().WaitFor(1));
  {
    std::lock_guard lock(RadioBack::Instance().mutex);
    EXPECT_EQ(RadioBack::Instance().calls, std::vector<bool>{true});
  }
  EXPECT_FALSE(details::IsRadioAway());
  EXPECT_TRUE(Sdk().IsDeviceOpen());

  const auto board = sim::OpenNrf52Board();
  ASSERT_NE(board, nullptr);
  EXPECT_NE(board, m_board) << "a fresh open of the board";
  EXPECT_TRUE(board->WaitForCall("sd_ble_gap_scan_start", 1, 10s)) << "scanning resumed without the application";
  m_board = board;
}

}  // namespace
}  // namespace lumen::testing
