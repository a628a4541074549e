// The board's port: a system reset takes it away while the board
// re-enumerates, an adapter whose open failed keeps it until deleted, and a
// real-time board whose scenario file vanishes is unplugged until it is back.
#include "tests/nordic/BoardTestSupport.h"

namespace lumen::test::nrf52 {
namespace {

class BoardPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous = sim::GetNrf52BoardOptions();
    sim::Nrf52BoardOptions options = previous;
    options.portAwayAfterSystemReset = std::chrono::hours(1);  // back only when the test says so
    sim::SetNrf52BoardOptions(options);
    file = std::make_unique<ScenarioFile>(PhonesScenario(R"("requests_on_connect": [],)"));
  }
  void TearDown() override {
    sim::ReturnNrf52Port(file->Path());
    sim::SetNrf52BoardOptions(previous);
  }

  // Opens a board on the file's port and resets it with SYS_RESET.
  void ResetABoard() {
    BoardSession first(file->Path());
    first.OpenEnabled();
    ASSERT_EQ(sd_rpc_conn_reset(first.Adapter(), SYS_RESET), NRF_SUCCESS);
    // The link to the rebooted board is gone.
    EXPECT_EQ(sd_ble_gap_scan_stop(first.Adapter()), static_cast<uint32_t>(NRF_ERROR_SD_RPC_SEND));
    EXPECT_EQ(sd_rpc_close(first.Adapter()), NRF_SUCCESS);
  }

  sim::Nrf52BoardOptions previous;
  std::unique_ptr<ScenarioFile> file;
};

TEST_F(BoardPortTest, OpenWhileTheResetBoardReEnumeratesFailsUntilThePortIsBack) {
  ResetABoard();
  auto early = std::make_unique<BoardSession>(file->Path());
  EXPECT_EQ(early->Open(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE));
  auto statuses = early->Statuses();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].code, IO_RESOURCES_UNAVAILABLE);
  EXPECT_NE(statuses[0].text.find("re-enumerating"), std::string::npos) << statuses[0].text;
  EXPECT_EQ(sim::OpenNrf52Board(), nullptr);
  sim::ReturnNrf52Port(file->Path());
  // The adapter of the failed open still holds the port: the driver lets go
  // of it only when that adapter is deleted.
  {
    BoardSession blocked(file->Path());
    EXPECT_EQ(blocked.Open(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE));
    auto blockedStatuses = blocked.Statuses();
    ASSERT_EQ(blockedStatuses.size(), 1u);
    EXPECT_NE(blockedStatuses[0].text.find("held by another adapter"), std::string::npos) << blockedStatuses[0].text;
  }
  EXPECT_EQ(sd_rpc_close(early->Adapter()),
            static_cast<uint32_t>(NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_ALREADY_CLOSED));
  {
    BoardSession stillBlocked(file->Path());
    EXPECT_EQ(stillBlocked.Open(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE));
  }
  early.reset();  // closes and deletes its adapter
  BoardSession later(file->Path());
  EXPECT_EQ(later.Open(), NRF_SUCCESS);
}

TEST_F(BoardPortTest, AnOpenBoardHoldsItsPortUntilClosed) {
  BoardSession first(file->Path());
  ASSERT_EQ(first.Open(), NRF_SUCCESS);
  {
    BoardSession second(file->Path());
    EXPECT_EQ(second.Open(), static_cast<uint32_t>(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE));
  }
  EXPECT_EQ(sd_rpc_close(first.Adapter()), NRF_SUCCESS);
  BoardSession third(file->Path());
  EXPECT_EQ(third.Open(), NRF_SUCCESS);
}

// As a device node does when the board is unplugged and plugged back in.
TEST_F(BoardPortTest, ThePortFileVanishingUnplugsARealTimeBoardAndItsReturnLetsOpensSucceed) {
  const std::string away = file->Path() + ".away";
  {
    BoardSession session(file->Path());
    ASSERT_EQ(session.Open(sim::SimClock::Mode::kRealTime), NRF_SUCCESS);
    uint32_t ramBase = 0;
    ASSERT_EQ(sd_ble_enable(session.Adapter(), &ramBase), NRF_SUCCESS);
    std::filesystem::rename(file->Path(), away);
    const auto gone = session.WaitForStatus(IO_RESOURCES_UNAVAILABLE);
    ASSERT_TRUE(gone.has_value()) << "no status for the vanished port";
    EXPECT_NE(gone->text.find("is gone"), std::string::npos) << gone->text;
    EXPECT_EQ(sd_ble_gap_scan_stop(session.Adapter()), static_cast<uint32_t>(NRF_ERROR_SD_RPC_NO_RESPONSE));
    EXPECT_TRUE(session.WaitForStatus(PKT_SEND_MAX_RETRIES_REACHED).has_value());
    EXPECT_EQ(sd_rpc_close(session.Adapter()), NRF_SUCCESS);
  }
  {
    BoardSession early(file->Path());
    EXPECT_EQ(early.Open(sim::SimClock::Mode::kRealTime), static_cast<uint32_t>(NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE));
    const auto statuses = early.Statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_NE(statuses[0].text.find("unplugged"), std::string::npos) << statuses[0].text;
  }
  std::filesystem::rename(away, file->Path());
  BoardSession later(file->Path());
  ASSERT_EQ(later.Open(sim::SimClock::Mode::kRealTime), NRF_SUCCESS);
  uint32_t ramBase = 0;
  EXPECT_EQ(sd_ble_enable(later.Adapter(), &ramBase), NRF_SUCCESS);
}

// Tests on the manual clock keep their board whatever happens to the file.
TEST_F(BoardPortTest, AManualTimeBoardIgnoresItsPortFile) {
  BoardSession session(file->Path());
  session.OpenEnabled();
  const std::string away = file->Path() + ".away";
  std::filesystem::rename(file->Path(), away);
  session.Advance(1s);
  session.Settle();
  EXPECT_EQ(session.Statuses().size(), 2u);  // those of the open
  ble_version_t version{};
  EXPECT_EQ(sd_ble_version_get(session.Adapter(), &version), NRF_SUCCESS);
  std::filesystem::rename(away, file->Path());
}

}  // namespace
}  // namespace lumen::test::nrf52
