// Opening and closing the adapter: configuration, a port the board rejects,
// and operations after close.
#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

class NordicAdapterTest : public NordicSimTest {};

TEST_F(NordicAdapterTest, OpenConfiguresTheSoftDeviceAndScans) {
  OpenBoard();
  const sim::Nrf52Snapshot snapshot = Board().Snapshot();
  EXPECT_TRUE(snapshot.enabled);
  EXPECT_EQ(snapshot.configuration.centralRoleCount, 5);
  EXPECT_EQ(snapshot.configuration.advSetCount, 1);
  EXPECT_EQ(snapshot.configuration.attMtu, 150);
  EXPECT_EQ(snapshot.configuration.connCount, 5);
  EXPECT_EQ(snapshot.configuration.eventLength, 6);
  EXPECT_EQ(snapshot.scanner, sim::Nrf52ScannerState::kRunning);
  EXPECT_FALSE(snapshot.activeScanning);
  EXPECT_TRUE(Sdk().IsScanning());
  EXPECT_EQ(Sdk().GetMaxConnections(0, false), 5);
  EXPECT_FALSE(Sdk().GetFirmwareVersion().empty());
}

TEST_F(NordicAdapterTest, RejectedPortFailsInitializeAndDeletesTheAdapter) {
  sim::SetNrf52BoardOptions({sim::SimClock::Mode::kManual});
  EXPECT_FALSE(Initialize("/nonexistent/lumen-board.json", 0, NordicNRF52, false));
  EXPECT_TRUE(m_log.HasContaining(Logger::ERROR, "Error: "));  // the board's own explanation
  EXPECT_TRUE(m_log.HasContaining(Logger::ERROR, "sd_rpc_open failed: "));
  const auto debug = m_log.Lines(Logger::DEBUG);
  const auto close = std::find(debug.begin(), debug.end(), "call sd_rpc_close");
  ASSERT_NE(close, debug.end());
  EXPECT_NE(std::find(close, debug.end(), "call sd_rpc_adapter_delete"), debug.end());

  OpenBoard();  // a later open works
  EXPECT_TRUE(Sdk().IsDeviceOpen());
}

TEST_F(NordicAdapterTest, ClosedAdapterRefusesOperationsAndClosesOnce) {
  OpenBoard();
  Sdk().CloseDevice();
  Sdk().CloseDevice();
  EXPECT_FALSE(Sdk().IsDeviceOpen());
  EXPECT_FALSE(Sdk().IsScanning());
  EXPECT_EQ(m_log.Count(Logger::DEBUG, "call sd_rpc_close"), 1u);
  try {
    Sdk().SetTXPower(4);
    FAIL() << "SetTXPower on a closed adapter";
  } catch (const details::NordicLibError& e) {
    EXPECT_STREQ(e.what(), "Nordic adapter closed (Error: 36865) : Unknown error");
  }
}

}  // namespace
}  // namespace lumen::testing
