#include "lumen/BeaconController.h"

#include <algorithm>
#include <exception>
#include <numeric>
#include <random>
#include <string>

#include "core/Log.h"
#include "lumen/BGLibError.h"
#include "platform/Clock.h"
#include "scan/BeaconControllerImpl.h"

namespace lumen {

using details::kDebug;
using details::kError;
using details::kInfo;
using details::Log;

namespace {

constexpr const char* kSetUuids = "lumen::BeaconController::Impl::SetUuids";
constexpr const char* kInitAdvertiser = "lumen::BeaconController::Impl::InitAdvertiser";
constexpr const char* kStartAdvertising = "lumen::BeaconController::Impl::StartAdvertising";
constexpr const char* kStopAdvertising = "lumen::BeaconController::Impl::StopAdvertising";
constexpr const char* kStartBeacon = "lumen::BeaconController::Impl::StartBeacon";
constexpr const char* kStopBeacon = "lumen::BeaconController::Impl::StopBeacon";
constexpr const char* kBeaconThreadFunc = "lumen::BeaconController::Impl::BeaconThreadFunc";

// Runs action; any error is logged under the operation's name as
// "<failure>: <text>" (or "<failure>, reason unknown") and reported as false.
// Radio operations name what they did, so a Bluegiga error can be called out.
template <class Action>
bool LogFailures(const char* operation, const std::string& failure, Action&& action,
                 const std::string& radioOperation = {}) {
  try {
    action();
    return true;
  } catch (const details::BGLibError& e) {
    if (radioOperation.empty()) {
      Log(kError, operation, failure + ": " + e.what());
    } else {
      Log(kError, operation, "BGLibError thrown ", "BGLibError to " + radioOperation + ": " + e.what());
    }
  } catch (const std::exception& e) {
    Log(kError, operation, failure + ": " + e.what());
  } catch (...) {
    Log(kError, operation, failure + ", reason unknown");
  }
  return false;
}

template <class Action>
bool LogRadioFailures(const char* operation, const std::string& what, Action&& action) {
  return LogFailures(operation, "Failed to " + what, std::forward<Action>(action), what);
}

// One engine for the process, seeded once; several controllers may shuffle
// at the same time, so it is guarded.
std::vector<uint16_t> ShuffledMajors() {
  static std::mutex engineMutex;
  static std::mt19937 engine(static_cast<uint32_t>(details::SystemClockTicks()));
  std::vector<uint16_t> majors(BeaconController::Impl::kMajorCount);
  std::iota(majors.begin(), majors.end(), uint16_t{1});
  std::lock_guard lock(engineMutex);
  std::shuffle(majors.begin(), majors.end(), engine);
  return majors;
}

}  // namespace

BeaconController::Impl::Impl(const std::vector<Uuid>& uuids, unsigned short interval, uint32_t switchIntervalMs)
    : m_switchIntervalMs(switchIntervalMs) {
  Log(kDebug, "lumen::BeaconController::Impl::Impl");
  SetUuids(uuids);
  if (InitAdvertiser(interval)) {
    StartBeacon();
  }
}

BeaconController::Impl::~Impl() {
  Log(kDebug, "lumen::BeaconController::Impl::~Impl");
  StopBeacon();
}

void BeaconController::Impl::SetUuids(const std::vector<Uuid>& uuids) {
  LogFailures(kSetUuids, "Failed to set Uuids to iBeacon", [&] {
    std::lock_guard lock(m_payloadMutex);
    m_items.clear();
    for (const Uuid& uuid : uuids) {
      BeaconItem item{uuid, 0, ShuffledMajors()};
      std::string majors;
      for (const uint16_t major : item.majors) {
        majors += std::to_string(major) + " ";
      }
      m_items.push_back(std::move(item));
      Log(kDebug, kSetUuids, "Uuid: ", uuid.ToString(), " Major values: ", majors);
    }
  });
}

bool BeaconController::Impl::InitAdvertiser(unsigned short interval) {
  Log(kDebug, kInitAdvertiser, "BeaconInterval:", interval);
  bool obtained = false;
  const bool ok = LogRadioFailures(kInitAdvertiser, "init iBeacon advertiser", [&] {
    std::lock_guard lock(m_payloadMutex);
    if (!m_advertiser) {
      m_advertiser = GetAdvertiser();
    }
    if (!m_advertiser) {
      Log(kError, kInitAdvertiser, "Could not obtain advertiser");
      return;
    }
    m_advertiser->SetAdvertisementParameters(interval);
    obtained = true;
  });
  return ok && obtained;
}

void BeaconController::Impl::StartAdvertising(size_t index) {
  LogRadioFailures(kStartAdvertising, "start advertising", [&] {
    std::lock_guard lock(m_payloadMutex);
    m_current = index;
    if (index >= m_items.size()) {
      m_current = index = 0;
    }
    if (m_items.empty()) {
      return;
    }
    BeaconItem& item = m_items[index];
    m_packet.SetUuid(item.uuid);
    const uint16_t major = item.majors[item.nextMajorIndex];
    item.nextMajorIndex = (item.nextMajorIndex + 1) % item.majors.size();
    m_packet.SetMajor(major);
    m_packet.SetMinor(0);
    if (m_advertiser) {
      m_advertiser->SetAdvertisementData(0, m_packet.bytes());
      m_advertiser->StartAdvertising();
      Log(kInfo, kStartAdvertising, "Changed advertisement to device-specific ", m_packet.UuidText(),
          "; major value = ", m_packet.GetMajor(), "; minor value = ", m_packet.GetMinor());
    }
  });
}

void BeaconController::Impl::StopAdvertising() {
  LogRadioFailures(kStopAdvertising, "stop advertising", [&] {
    std::lock_guard lock(m_payloadMutex);
    if (m_advertiser) {
      m_advertiser->StopAdvertising();
    }
  });
}

void BeaconController::Impl::SwitchToNextUuid() {
  // Held across the pair so no other payload change lands between them.
  std::lock_guard lock(m_payloadMutex);
  StopAdvertising();
  StartAdvertising(m_current + 1);
}

bool BeaconController::Impl::StartBeacon() {
  std::lock_guard lock(m_threadMutex);
  const bool started = LogFailures(kStartBeacon, "Failed to start iBeacon thread", [&] {
    StopBeacon();
    StartAdvertising(0);
    m_stopEvent.Reset();
    m_thread = std::thread([this] { BeaconThreadFunc(); });
  });
  if (!started) {
    StopAdvertising();
  }
  return started;
}

void BeaconController::Impl::StopBeacon() {
  std::lock_guard lock(m_threadMutex);
  LogFailures(kStopBeacon, "Failed to stop iBeacon thread", [&] {
    m_stopEvent.Set();
    if (m_thread.joinable()) {
      m_thread.join();
    }
  });
}

void BeaconController::Impl::BeaconThreadFunc() {
  LogFailures(kBeaconThreadFunc, "Failed to perform iBeacon", [&] {
    // A radio reset ends the rotation for good: the controller stays silent
    // until the application makes a new one.
    while (!m_stopEvent.WaitFor(m_switchIntervalMs) && !details::Event::IsGlobalReset()) {
      SwitchToNextUuid();
    }
  });
  StopAdvertising();
}

BeaconController::BeaconController(const std::vector<Uuid>& uuids, unsigned short interval)
    : m_impl(std::make_unique<Impl>(uuids, interval)) {}

BeaconController::~BeaconController() = default;

}  // namespace lumen
