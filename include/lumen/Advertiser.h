#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "lumen/Export.h"

namespace lumen {

// Makes the local radio advertise. Each call goes to the radio on the calling
// thread and lets the radio's errors through.
class LUMEN_API Advertiser {
 public:
  class Impl;

  Advertiser();
  ~Advertiser();
  Advertiser(const Advertiser&) = delete;
  Advertiser& operator=(const Advertiser&) = delete;

  // type 0 sets the advertising payload, 1 the scan-response payload.
  void SetAdvertisementData(unsigned char type, const std::vector<unsigned char>& data);
  // Interval in the radio's own units.
  void SetAdvertisementParameters(unsigned short interval);
  void StartAdvertising();
  void StopAdvertising();

  // When any Advertiser last stopped advertising successfully; the epoch if
  // none has. Services read from phones before this time may be stale.
  static std::chrono::system_clock::time_point GetLastStopAdvertisingTime();

 private:
  std::unique_ptr<Impl> m_impl;
};

LUMEN_API std::unique_ptr<Advertiser> GetAdvertiser();

}  // namespace lumen
