// The board's port or link goes away while the library uses it: whichever way
// the driver says so (status record or call result), waits end at once with
// the port-gone error, links are dropped, the adapter is closed and the
// application hears of it through both callbacks, once, in order.
#include <algorithm>
#include <condition_variable>
#include <future>

#include "core/ConnectionTable.h"
#include "lumen/NordicLibError.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

constexpr const char* kPortGone = "Nordic radio's port is gone";

// What the application's two callbacks saw, in order.
class CallbackLog {
 public:
  static CallbackLog& Instance() {
    static CallbackLog log;
    return log;
  }
  static void OnFailure() { Instance().Add("hardware failure"); }
  static void OnSoftReset(bool removal) { Instance().Add(removal ? "soft reset, removal" : "soft reset"); }

  void Clear() {
    std::lock_guard lock(m_mutex);
    m_entries.clear();
  }
  bool WaitFor(size_t count) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, 30s, [&] { return m_entries.size() >= count; });
  }
  std::vector<std::string> Entries() {
    std::lock_guard lock(m_mutex);
    return m_entries;
  }

 private:
  void Add(const std::string& entry) {
    {
      std::lock_guard lock(m_mutex);
      m_entries.push_back(entry);
    }
    m_changed.notify_all();
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_entries;
};

class NordicPortLossTest : public NordicSimTest {
 protected:
  void SetUp() override {
    CallbackLog::Instance().Clear();
    Set_HardwareFailureCallback(&CallbackLog::OnFailure);
    Set_HardwareSoftResetInitiatedCallback(&CallbackLog::OnSoftReset);
    OpenBoard();
    m_h = ConnectPhone();
    // The phone's requests are answered before the port goes, so the only
    // calls after the loss are the library's own.
    ASSERT_TRUE(PeerRequestsAnswered());
  }

  void TearDown() override {
    NordicSimTest::TearDown();
    Set_HardwareFailureCallback(nullptr);
    Set_HardwareSoftResetInitiatedCallback(nullptr);
  }

  // Both callbacks once, in order, and what the loss leaves behind.
  void ExpectRemoved() {
    ASSERT_TRUE(CallbackLog::Instance().WaitFor(2));
    Advance(0);
    EXPECT_EQ(CallbackLog::Instance().Entries(), (std::vector<std::string>{"hardware failure", "soft reset, removal"}));
    EXPECT_FALSE(Sdk().IsDeviceOpen());
    EXPECT_FALSE(m_h.IsConnected());
    EXPECT_TRUE(m_log.HasContaining(Logger::ERROR, kPortGone));
  }

  static void ExpectPortGone(const std::function<void()>& call) {
    try {
      call();
      ADD_FAILURE() << "call succeeded";
    } catch (const details::NordicLibError& e) {
      EXPECT_EQ(e.code(), details::kErrorGeneral);
      EXPECT_NE(std::string(e.what()).find(kPortGone), std::string::npos) << e.what();
    }
  }

  std::vector<std::string> CallsSince(size_t index) const {
    const auto calls = m_board->Calls();
    return {calls.begin() + static_cast<std::ptrdiff_t>(std::min(index, calls.size())), calls.end()};
  }

  details::DeviceConnectionHandle m_h;
};

TEST_F(NordicPortLossTest, UnplugWhileAReadWaitsEndsTheReadWithPortGone) {
  Board().Faults().IgnoreNextCall("sd_ble_gattc_read");  // the read waits for an answer
  auto read = std::async(std::launch::async, [this] { return Sdk().ReadByHandle(m_h, kDeviceNameValue); });
  ASSERT_TRUE(Board().WaitForCall("sd_ble_gattc_read", 1, 10s));
  const size_t callsBefore = Board().Calls().size();

  Board().Faults().Unplug();

  ASSERT_EQ(read.wait_for(30s), std::future_status::ready);
  ExpectPortGone([&] { read.get(); });
  ExpectRemoved();
  EXPECT_FALSE(
      m_log.HasContaining(Logger::INFO, "no Nordic event was received to complete the call to sd_ble_gattc_read"));
  for (const std::string& call : CallsSince(callsBefore)) {
    EXPECT_TRUE(call == "sd_rpc_close" || call == "sd_rpc_adapter_delete") << call;
  }
  EXPECT_EQ(CountCalls("sd_rpc_close"), 1u);

  // Later calls fail at once, without reaching the board.
  const size_t callsAfter = Board().Calls().size();
  EXPECT_THROW(Sdk().GetFirmwareVersion(), details::NordicLibError);
  EXPECT_EQ(Board().Calls().size(), callsAfter);

  // One loss, one report: the board's further complaints change nothing.
  Board().InjectStatus(PKT_SEND_MAX_RETRIES_REACHED, "again");
  EXPECT_EQ(CallbackLog::Instance().Entries().size(), 2u);
}

TEST_F(NordicPortLossTest, LinkThatStopsAnsweringIsReportedThroughTheStatusCallback) {
  Board().Faults().StopAnswering();
  Sdk().StartScan(false);  // the driver gives up on this call and says so
  ExpectRemoved();
}

TEST_F(NordicPortLossTest, SystemResetAskedForIsNotALoss) {
  Sdk().DelayedNonDFUReset(0, false);  // the board re-enumerates: its port goes away
  Advance(0);
  Sdk().CloseDevice();
  EXPECT_TRUE(CallbackLog::Instance().Entries().empty());
  EXPECT_FALSE(m_log.HasContaining(Logger::ERROR, kPortGone));
}

class NordicTransportResultTest : public NordicPortLossTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(NordicTransportResultTest, TransportCallResultRemovesThePort) {
  Board().Faults().FailNextCall("sd_ble_gattc_read", GetParam());
  ExpectPortGone([&] { Sdk().ReadByHandle(m_h, kDeviceNameValue); });
  ExpectRemoved();
}

INSTANTIATE_TEST_SUITE_P(TransportFailures, NordicTransportResultTest,
                         ::testing::Values(NRF_ERROR_SD_RPC_NO_RESPONSE, NRF_ERROR_SD_RPC_H5_TRANSPORT_STATE,
                                           NRF_ERROR_SD_RPC_SERIALIZATION_TRANSPORT_NO_RESPONSE));

}  // namespace
}  // namespace lumen::testing
