#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "lumen/Export.h"

namespace lumen {

/// Makes the local radio advertise. Each call goes to the radio on the calling thread (one radio
/// command; see \ref md_docs_threads "Threads and callbacks" for how long that may block) and lets
/// the radio's errors through as details::KesBluetoothSDKLibError (details::BGLibError or details::NordicLibError);
/// without an initialised library they throw details::KesBluetoothSDKLibError "BluetoothSDK not initialized". Every
/// setting is remembered, so a radio the library reopens (SetRadioRecovery()) gets it back. The
/// object itself holds no state.
class LUMEN_API Advertiser {
 public:
  class Impl;

  /// Cheap; needs no radio.
  Advertiser();
  /// Leaves the radio as it is (still advertising, if it was).
  ~Advertiser();
  Advertiser(const Advertiser&) = delete;
  Advertiser& operator=(const Advertiser&) = delete;

  /// Sets one of the two payloads the radio advertises with.
  /// \param type 0 sets the advertising payload, 1 the scan-response payload.
  /// \param data the advertising-data structures (length, type, value each).
  void SetAdvertisementData(unsigned char type, const std::vector<unsigned char>& data);
  /// Sets the advertising interval.
  /// \param interval in the radio's own units (0.625 ms).
  void SetAdvertisementParameters(unsigned short interval);
  /// Starts advertising with the payloads set before.
  void StartAdvertising();
  /// Stops advertising; a stop the radio accepts is what GetLastStopAdvertisingTime() reports.
  void StopAdvertising();

  /// Services read from phones before this time may be stale.
  /// \return when any Advertiser last stopped advertising successfully; the epoch if none has.
  static std::chrono::system_clock::time_point GetLastStopAdvertisingTime();

 private:
  std::unique_ptr<Impl> m_impl;
};

/// \return a new Advertiser.
LUMEN_API std::unique_ptr<Advertiser> GetAdvertiser();

}  // namespace lumen
