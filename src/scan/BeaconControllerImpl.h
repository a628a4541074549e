#pragma once

#include <boost/core/noncopyable.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/Event.h"
#include "lumen/Advertiser.h"
#include "lumen/BeaconController.h"
#include "lumen/Uuid.h"
#include "scan/IBeaconPacket.h"
#include "scan/ImplVisibility.h"

namespace lumen {

class LUMEN_IMPL_HIDDEN BeaconController::Impl : private boost::noncopyable {
 public:
  static constexpr uint32_t kSwitchIntervalMs = 3000;
  static constexpr size_t kMajorCount = 20;

  // switchIntervalMs is a seam for tests; the exported class always uses
  // kSwitchIntervalMs. Waits run in Event's 100 ms slices.
  Impl(const std::vector<Uuid>& uuids, unsigned short interval, uint32_t switchIntervalMs = kSwitchIntervalMs);
  ~Impl();

  void SetUuids(const std::vector<Uuid>& uuids);
  bool InitAdvertiser(unsigned short interval);
  // Puts the first UUID on air and starts the switching thread.
  bool StartBeacon();
  // Ends the switching thread, which stops advertising on its way out.
  void StopBeacon();
  // What the thread does every interval: the next UUID goes on air with its
  // next major value. Tests call it to step through the rotation.
  void SwitchToNextUuid();

 private:
  struct BeaconItem {
    Uuid uuid;
    size_t nextMajorIndex = 0;
    std::vector<uint16_t> majors;  // 1..kMajorCount in a random order
  };

  void StartAdvertising(size_t index);
  void StopAdvertising();
  void BeaconThreadFunc();

  std::thread m_thread;
  details::Event m_stopEvent;
  std::unique_ptr<Advertiser> m_advertiser;
  details::IBeaconPacket m_packet;
  std::vector<BeaconItem> m_items;
  size_t m_current = 0;
  std::recursive_mutex m_payloadMutex;
  std::recursive_mutex m_threadMutex;
  const uint32_t m_switchIntervalMs;
};

}  // namespace lumen
