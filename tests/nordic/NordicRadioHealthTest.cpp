// The health snapshot against the virtual nRF52 board: driver calls are the
// commands, and each fault the board can show moves the figures that name it,
// and no other fault figure.
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>

#include "core/ConnectionTable.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/NordicLibError.h"
#include "lumen/RadioHealth.h"
#include "lumen/Scanner.h"
#include "support/HealthFigures.h"
#include "support/Watched.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

struct Seen : Watched<Seen> {
  int softResets = 0;
  int adverts = 0;

  void Bump(int Seen::*field) {
    Note([field](Seen& seen) { ++(seen.*field); });
  }
};
Seen* g_seen = nullptr;

void OnSoftReset(bool /*removal*/) { g_seen->Bump(&Seen::softResets); }
bool OnAdvert(std::shared_ptr<BluetoothDevice>& /*device*/) {
  g_seen->Bump(&Seen::adverts);
  return true;
}

class NordicRadioHealthTest : public NordicSimTest {
 protected:
  void SetUp() override {
    g_seen = &m_seen;
    Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
    OpenBoard();
  }

  void TearDown() override {
    m_scanner.reset();
    NordicSimTest::TearDown();
    Set_HardwareSoftResetInitiatedCallback(nullptr);
    g_seen = nullptr;
  }

  Seen m_seen;
  std::unique_ptr<Scanner> m_scanner;
};

TEST_F(NordicRadioHealthTest, DriverCallsAreTheCommandsAndAdvertisementsAreCounted) {
  RadioHealth health = GetRadioHealth();
  EXPECT_EQ(FaultFigures(health), FaultFigures(RadioHealth{}));
  EXPECT_GT(health.commandsSent, 0u) << "opening the board enables the SoftDevice";
  EXPECT_EQ(health.commandsAnswered, health.commandsSent);

  const RadioHealth before = GetRadioHealth();
  m_scanner = GetScanner();
  m_scanner->SetAdvCallback(&OnAdvert);
  m_scanner->StartLeScan();
  Advance(300);
  ASSERT_TRUE(m_seen.WaitUntil([](Seen& seen) { return seen.adverts > 0; }));
  health = GetRadioHealth();
  EXPECT_GT(health.advertsReceived, 0u);
  EXPECT_LE(health.secondsSinceLastAdvert, 1u);
  EXPECT_GT(health.commandsSent, before.commandsSent);
  EXPECT_EQ(MovedSince(before), Figures{});
}

TEST_F(NordicRadioHealthTest, UnpluggedBoardMovesPortLossesAndTheHardwareFailureItRaises) {
  const RadioHealth before = GetRadioHealth();
  Board().Faults().Unplug();
  ASSERT_TRUE(m_seen.WaitUntil([](Seen& seen) { return seen.softResets == 1; }));
  EXPECT_EQ(MovedSince(before), (Figures{{"portLosses", 1}, {"hardwareFailures", 1}}));
}

TEST_F(NordicRadioHealthTest, DeadLinkIsAPortLossNotASilentBoard) {
  const RadioHealth before = GetRadioHealth();
  Board().Faults().StopAnswering();
  Sdk().StartScan(false);  // the driver fails the send and says so
  ASSERT_TRUE(m_seen.WaitUntil([](Seen& seen) { return seen.softResets == 1; }));
  EXPECT_EQ(MovedSince(before), (Figures{{"portLosses", 1}, {"hardwareFailures", 1}}));
}

TEST_F(NordicRadioHealthTest, CallWhoseEventNeverComesMovesNoCompletingEvent) {
  const details::DeviceConnectionHandle h = ConnectPhone();
  Sdk().SetTimeouts(3000, 300);
  const RadioHealth before = GetRadioHealth();
  Board().Faults().IgnoreNextCall("sd_ble_gattc_read");
  EXPECT_THROW(Sdk().ReadByHandle(h, kDeviceNameValue), details::NordicLibError);
  EXPECT_EQ(MovedSince(before), (Figures{{"commandsTimedOut", 1}, {"commandsNoCompletingEvent", 1}}))
      << "the library's own disconnect of the abandoned link is no drop by the peer";
}

TEST_F(NordicRadioHealthTest, LinkThePeerDropsMovesDroppedByPeerAndTheLibrarysOwnDisconnectDoesNot) {
  details::DeviceConnectionHandle h = ConnectPhone();
  RadioHealth before = GetRadioHealth();
  ASSERT_TRUE(Board().Faults().DropConnection(static_cast<uint16_t>(details::GetNativeHandle(h)),
                                              BLE_HCI_REMOTE_USER_TERMINATED_CONNECTION));
  Advance(0);
  EXPECT_EQ(MovedSince(before), (Figures{{"connectionsDroppedByPeer", 1}}));

  h = ConnectPhone();
  before = GetRadioHealth();
  Sdk().Disconnect(h);
  Advance(0);
  EXPECT_EQ(MovedSince(before), Figures{});
}

}  // namespace
}  // namespace lumen::testing
