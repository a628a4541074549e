// What the Advertiser puts on air, on either radio: its data, and new data
// given while it advertises.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "lumen/Advertiser.h"
#include "lumen/Lumen.h"
#include "radios/RadioUnderTest.h"
#include "support/LogCapture.h"

namespace lumen {
namespace {

using testing::BothRadiosTest;
using Bytes = std::vector<uint8_t>;

const char* const kNoPeripherals = R"({"radio": {"variant": "dongle"}, "peripherals": []})";

class AdvertiserOnAirTest : public BothRadiosTest {
 protected:
  void SetUp() override {
    m_radio = MakeRadio(kNoPeripherals);
    ASSERT_TRUE(m_radio->Open());
  }
  void TearDown() override {
    UnInitialize();
    m_radio.reset();
  }

  // Distinct payloads in the order they went on air.
  std::vector<Bytes> Sequence() const {
    std::vector<Bytes> sequence;
    for (const Bytes& data : m_radio->OnAirData()) {
      if (sequence.empty() || sequence.back() != data) sequence.push_back(data);
    }
    return sequence;
  }

  testing::LogCapture m_log;
  std::unique_ptr<testing::RadioUnderTest> m_radio;
};

TEST_P(AdvertiserOnAirTest, NewDataAndIntervalWhileAdvertisingReachTheAir) {
  const Bytes first{0x02, 0x01, 0x06, 0x05, 0xFF, 0x4C, 0x00, 0x01, 0x02};
  const Bytes second{0x02, 0x01, 0x06, 0x05, 0xFF, 0x4C, 0x00, 0x03, 0x04};
  const Bytes third{0x02, 0x01, 0x06, 0x05, 0xFF, 0x4C, 0x00, 0x05, 0x06};

  auto advertiser = GetAdvertiser();
  advertiser->SetAdvertisementParameters(160);
  advertiser->SetAdvertisementData(0, first);
  advertiser->StartAdvertising();
  m_radio->Clock().AdvanceMs(500);

  advertiser->SetAdvertisementData(0, second);
  m_radio->Clock().AdvanceMs(500);

  advertiser->SetAdvertisementParameters(320);
  advertiser->SetAdvertisementData(0, third);
  m_radio->Clock().AdvanceMs(1000);

  advertiser->StopAdvertising();
  const size_t framesAtStop = m_radio->OnAirData().size();
  m_radio->Clock().AdvanceMs(1000);

  EXPECT_EQ(Sequence(), (std::vector<Bytes>{first, second, third}));
  EXPECT_EQ(m_radio->OnAirData().size(), framesAtStop) << "nothing goes on air after the stop";
}

TEST_P(AdvertiserOnAirTest, RotatingDataEveryFewFramesNeverSticks) {
  auto advertiser = GetAdvertiser();
  advertiser->SetAdvertisementParameters(160);
  advertiser->SetAdvertisementData(0, {0x02, 0x01, 0x06, 0x02, 0xFF, 0x00});
  advertiser->StartAdvertising();
  // Many updates in a row: a radio that needs fresh buffers for each must get them.
  std::vector<Bytes> given;
  for (uint8_t i = 1; i <= 20; ++i) {
    given.push_back({0x02, 0x01, 0x06, 0x02, 0xFF, i});
    advertiser->SetAdvertisementData(0, given.back());
    m_radio->Clock().AdvanceMs(300);
  }
  advertiser->StopAdvertising();

  auto sequence = Sequence();
  ASSERT_FALSE(sequence.empty());
  sequence.erase(sequence.begin());  // the data before the first update
  EXPECT_EQ(sequence, given);
}

LUMEN_ON_BOTH_RADIOS(AdvertiserOnAirTest);

}  // namespace
}  // namespace lumen
