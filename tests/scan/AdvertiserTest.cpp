#include <gtest/gtest.h>

#include <chrono>

#include "lumen/Advertiser.h"
#include "lumen/Errors.h"
#include "scan/ScannerFakes.h"

namespace lumen {
namespace {

using scannertest::InstalledProvider;
using scannertest::ManualClocks;

std::chrono::system_clock::time_point AtTicks(int64_t ticks) {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, details::kSystemTicksPerSecond>>;
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(Ticks(ticks)));
}

TEST(AdvertiserTest, CallsReachTheRadioWithTheirArguments) {
  InstalledProvider provider;
  auto advertiser = GetAdvertiser();
  advertiser->SetAdvertisementData(1, {0x02, 0x01, 0x06});
  advertiser->SetAdvertisementParameters(320);
  advertiser->StartAdvertising();
  const auto calls = provider->Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].name, "SetAdvertisementData");
  EXPECT_EQ(calls[0].a, 1);
  EXPECT_EQ(calls[0].data, (std::vector<uint8_t>{0x02, 0x01, 0x06}));
  EXPECT_EQ(calls[1].a, 320);
  EXPECT_EQ(calls[2].name, "StartAdvertising");
}

TEST(AdvertiserTest, FailedStopDoesNotMoveTheLastStopTime) {
  InstalledProvider provider;
  ManualClocks clocks;
  Advertiser advertiser;
  advertiser.StopAdvertising();
  const int64_t stoppedAt = clocks.SystemTicks();
  EXPECT_EQ(Advertiser::GetLastStopAdvertisingTime(), AtTicks(stoppedAt));

  clocks.AdvanceMs(5000);
  provider->failAdvertising = true;
  EXPECT_THROW(advertiser.StopAdvertising(), std::runtime_error);
  EXPECT_EQ(Advertiser::GetLastStopAdvertisingTime(), AtTicks(stoppedAt));
}

TEST(AdvertiserTest, WithoutRadioEveryCallThrowsNotInitialized) {
  Advertiser advertiser;
  try {
    advertiser.StartAdvertising();
    FAIL() << "expected an error";
  } catch (const details::KesBluetoothSDKLibError& e) {
    EXPECT_STREQ(e.what(), "BluetoothSDK not initialized");
    EXPECT_EQ(e.code(), details::kErrorGeneral);
  }
}

}  // namespace
}  // namespace lumen
