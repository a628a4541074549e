// A disconnect the board never confirmed leaves a link on the radio that the
// library no longer owns; the phone at its other end cannot be connected to
// again until it is closed. The backend closes such links before it goes on.
#include "core/ConnectionTable.h"
#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

class NordicLinkReconcileTest : public NordicSimTest {
 protected:
  void SetUp() override { OpenBoard(); }
};

TEST_F(NordicLinkReconcileTest, LostDisconnectIsClosedBeforeTheNextConnectToThatPhone) {
  details::DeviceConnectionHandle first = ConnectPhone();
  const auto native = static_cast<uint16_t>(details::GetNativeHandle(first));

  // The board takes the disconnect but never acts on it nor answers.
  NordicSdk().SetDisconnectWaitMsForTesting(200);
  Board().Faults().IgnoreNextCall("sd_ble_gap_disconnect");
  Sdk().Disconnect(first);
  EXPECT_FALSE(first.IsConnected());
  ASSERT_EQ(Board().Snapshot().connections.size(), 1u);  // still up on the radio

  // The board answers again: the stale link goes first, then the phone connects.
  details::DeviceConnectionHandle second = ConnectPhone();
  EXPECT_TRUE(second.IsConnected());
  EXPECT_TRUE(m_log.HasContaining(Logger::INFO,
                                  "closed link the library no longer owns, Nordic handle  " + std::to_string(native)));
  const auto connections = Board().Snapshot().connections;
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections[0].handle, details::GetNativeHandle(second));
  EXPECT_EQ(CountCalls("sd_ble_gap_disconnect"), 2u);
}

}  // namespace
}  // namespace lumen::testing
