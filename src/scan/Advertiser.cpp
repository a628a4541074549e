#include "lumen/Advertiser.h"

#include <cstdint>
#include <mutex>

#include "core/BluetoothSDK.h"
#include "core/RadioSettings.h"
#include "platform/Clock.h"
#include "scan/ImplVisibility.h"

namespace lumen {

// Advertising state lives in the radio; nothing is kept per object.
class LUMEN_IMPL_HIDDEN Advertiser::Impl {};

namespace {

std::mutex g_lastStopMutex;
int64_t g_lastStopTicks = 0;  // system-clock ticks (100 ns since 1970)

}  // namespace

Advertiser::Advertiser() : m_impl(std::make_unique<Impl>()) {}

Advertiser::~Advertiser() = default;

// Each setting is remembered before it goes out, so that a radio reopened
// after it went away (even in the middle of this call) is put back as asked.
void Advertiser::SetAdvertisementData(unsigned char type, const std::vector<unsigned char>& data) {
  details::RememberAdvertisementData(type, data);
  details::GetBluetoothSDK()->SetAdvertisementData(type, data);
}

void Advertiser::SetAdvertisementParameters(unsigned short interval) {
  details::RememberAdvertisementParameters(interval);
  details::GetBluetoothSDK()->SetAdvertisementParameters(interval);
}

void Advertiser::StartAdvertising() {
  details::RememberAdvertising(true);
  details::GetBluetoothSDK()->StartAdvertising();
}

void Advertiser::StopAdvertising() {
  details::RememberAdvertising(false);
  details::GetBluetoothSDK()->StopAdvertising();
  // Only a stop the radio accepted counts.
  const int64_t now = details::SystemClockTicks();
  std::lock_guard lock(g_lastStopMutex);
  g_lastStopTicks = now;
}

std::chrono::system_clock::time_point Advertiser::GetLastStopAdvertisingTime() {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, details::kSystemTicksPerSecond>>;
  int64_t ticks = 0;
  {
    std::lock_guard lock(g_lastStopMutex);
    ticks = g_lastStopTicks;
  }
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(Ticks(ticks)));
}

std::unique_ptr<Advertiser> GetAdvertiser() { return std::make_unique<Advertiser>(); }

}  // namespace lumen
