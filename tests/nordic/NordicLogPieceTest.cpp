// Log lines of the Nordic backend as the logger joins their pieces: one space
// between pieces, so a piece that ends (or starts) with a space is followed
// (or preceded) by two. Tools that read these logs match the exact text.
#include "core/ConnectionTable.h"
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

constexpr uint16_t kIndicationConfiguration = 11;  // client configuration of 2a05 in the phone's table

class NordicLogPieceTest : public NordicSimTest {
 protected:
  void SetUp() override { OpenBoard(); }
};

TEST_F(NordicLogPieceTest, LinesOfAConnectionKeepTheSpacesOfTheirPieces) {
  EXPECT_TRUE(m_log.Has(Logger::DEBUG, "Nordic IsScanning =  true"));

  details::DeviceConnectionHandle h = ConnectPhone();
  const std::string native = std::to_string(details::GetNativeHandle(h));
  EXPECT_TRUE(m_log.Has(Logger::INFO, "Nordic ConnectDirect succeeds with Nordic handle  " + native));

  const std::vector<AttGroupItem> services = Sdk().GetListOfServices(h);
  ASSERT_FALSE(services.empty());
  EXPECT_TRUE(m_log.Has(Logger::INFO, "Adding service UUID  " + services.front().uuid.ToString()));
  EXPECT_TRUE(
      m_log.Has(Logger::DEBUG, "need to find service UUID for handle  " + std::to_string(services.back().startHandle)));

  Sdk().AttributeWrite(h, kIndicationConfiguration, {0x02, 0x00});
  EXPECT_TRUE(m_log.Has(Logger::DEBUG,
                        "call sd_ble_gattc_write #bytes =  2 : BLE_GATT_OP_WRITE_REQ (expect event "
                        "BLE_GATTC_EVT_WRITE_RSP)"));
  EXPECT_TRUE(m_log.Has(Logger::DEBUG, "BLE_GATTC_EVT_WRITE_RSP successfully received  with correct length"));

  const int64_t id = h.id();
  Sdk().Disconnect(h);
  EXPECT_TRUE(m_log.Has(Logger::INFO, "prepare to disconnect Nordic handle  " + native +
                                          " , internal connection handle  " + std::to_string(id)));
  EXPECT_TRUE(m_log.Has(Logger::DEBUG, "call sd_ble_gap_disconnect  " + native));
  EXPECT_TRUE(m_log.Has(Logger::INFO, "Disconnected event for Nordic handle:  " + native));
  EXPECT_TRUE(m_log.Has(Logger::INFO, "Disconnect succeeded for Nordic connection handle  " + native));
}

}  // namespace
}  // namespace lumen::testing
