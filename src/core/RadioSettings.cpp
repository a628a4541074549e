#include "core/RadioSettings.h"

#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "core/Log.h"

namespace lumen::details {
namespace {

struct ScanParameters {
  uint16_t interval;
  uint16_t window;
  uint8_t active;
};

struct Settings {
  std::optional<ScanParameters> scan;
  std::optional<std::pair<uint16_t, uint16_t>> connectionScan;
  std::optional<std::pair<int, int>> timeouts;
  std::optional<uint8_t> txPower;
  std::optional<std::vector<uint8_t>> advertisementData;
  std::optional<std::vector<uint8_t>> scanResponseData;
  std::optional<uint16_t> advertisementInterval;
  bool advertising = false;
};

std::mutex g_mutex;
Settings g_settings;

template <class Change>
void Update(Change change) {
  std::lock_guard lock(g_mutex);
  change(g_settings);
}

template <class Call>
void Apply(const char* what, Call call) {
  try {
    call();
  } catch (const std::exception& e) {
    Log(kWarning, std::string("Putting back the radio's ") + what + " failed: " + e.what());
  } catch (...) {
    Log(kWarning, std::string("Putting back the radio's ") + what + " failed with a non-standard exception");
  }
}

}  // namespace

void RememberScanParameters(uint16_t interval, uint16_t window, uint8_t active) {
  Update([&](Settings& s) { s.scan = ScanParameters{interval, window, active}; });
}

void RememberConnectionScanParameters(uint16_t interval, uint16_t window) {
  Update([&](Settings& s) { s.connectionScan = std::make_pair(interval, window); });
}

void RememberTimeouts(int responseTimeoutMs, int eventTimeoutMs) {
  Update([&](Settings& s) { s.timeouts = std::make_pair(responseTimeoutMs, eventTimeoutMs); });
}

void RememberTxPower(uint8_t power) {
  Update([&](Settings& s) { s.txPower = power; });
}

void RememberAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data) {
  Update([&](Settings& s) { (setScanResponse != 0 ? s.scanResponseData : s.advertisementData) = data; });
}

void RememberAdvertisementParameters(uint16_t interval) {
  Update([&](Settings& s) { s.advertisementInterval = interval; });
}

void RememberAdvertising(bool on) {
  Update([&](Settings& s) { s.advertising = on; });
}

void ForgetRadioSettings() {
  Update([](Settings& s) { s = Settings{}; });
}

void ReapplyRadioSettings(IBluetoothSDK& sdk) {
  Settings settings;
  {
    std::lock_guard lock(g_mutex);
    settings = g_settings;
  }
  if (settings.timeouts) {
    Apply("time-outs", [&] { sdk.SetTimeouts(settings.timeouts->first, settings.timeouts->second); });
  }
  if (settings.scan) {
    Apply("scan parameters",
          [&] { sdk.SetScanParameters(settings.scan->interval, settings.scan->window, settings.scan->active); });
  }
  if (settings.connectionScan) {
    Apply("connection scan parameters", [&] {
      sdk.SetScanParametersForEstablishingConnections(settings.connectionScan->first, settings.connectionScan->second);
    });
  }
  if (settings.txPower) {
    Apply("transmit power", [&] { sdk.SetTXPower(*settings.txPower); });
  }
  if (settings.advertisementInterval) {
    Apply("advertising parameters", [&] { sdk.SetAdvertisementParameters(*settings.advertisementInterval); });
  }
  if (settings.advertisementData) {
    Apply("advertising data", [&] { sdk.SetAdvertisementData(0, *settings.advertisementData); });
  }
  if (settings.scanResponseData) {
    Apply("scan response data", [&] { sdk.SetAdvertisementData(1, *settings.scanResponseData); });
  }
  if (settings.advertising) {
    Apply("advertising", [&] { sdk.StartAdvertising(); });
  }
}

}  // namespace lumen::details
