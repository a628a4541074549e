// A rotating beacon: every new payload and interval given while advertising
// must reach the air, without the SoftDevice refusing a configuration.
#include "tests/nordic/NordicTestSupport.h"

namespace lumen::testing {
namespace {

class NordicAdvertisingTest : public NordicSimTest {
 protected:
  void SetUp() override { OpenBoard(); }

  static std::vector<uint8_t> Payload(uint8_t tag) { return {0x02, 0x01, 0x06, 0x03, 0xff, 0x59, tag}; }

  // The payloads on the air, each once, in order.
  std::vector<std::vector<uint8_t>> DistinctOnAir() {
    std::vector<std::vector<uint8_t>> distinct;
    for (const auto& frame : Board().OnAir()) {
      if (distinct.empty() || distinct.back() != frame.advData) {
        distinct.push_back(frame.advData);
      }
    }
    return distinct;
  }
};

TEST_F(NordicAdvertisingTest, RotatedPayloadsAndNewIntervalReachTheAir) {
  Sdk().StartAdvertising();  // nothing configured yet
  EXPECT_TRUE(
      m_log.Has(Logger::WARNING, "cannot start advertising because advertising data not successfully configured"));

  Sdk().SetAdvertisementData(0, Payload(1));
  Sdk().StartAdvertising();
  Advance(500);
  Sdk().SetAdvertisementData(0, Payload(2));
  Advance(500);
  Sdk().SetAdvertisementData(0, Payload(3));
  Advance(500);
  EXPECT_EQ(DistinctOnAir(), (std::vector<std::vector<uint8_t>>{Payload(1), Payload(2), Payload(3)}));

  Sdk().SetAdvertisementParameters(320);
  Advance(1000);
  const auto frames = Board().OnAir();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().intervalUnits, 320u);
  EXPECT_EQ(frames.back().advData, Payload(3));

  const sim::Nrf52AdvertisingInfo info = Board().Snapshot().advertising;
  EXPECT_TRUE(info.advertising);
  EXPECT_EQ(info.type, BLE_GAP_ADV_TYPE_NONCONNECTABLE_NONSCANNABLE_UNDIRECTED);
  EXPECT_EQ(info.refusedConfigurations, 0u);

  Sdk().StopAdvertising();
  EXPECT_FALSE(Board().Snapshot().advertising.advertising);
}

}  // namespace
}  // namespace lumen::testing
