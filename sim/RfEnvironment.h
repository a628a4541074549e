#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

#include "sim/BdAddress.h"
#include "sim/Bytes.h"
#include "sim/Scenario.h"

namespace lumen::sim {

// One advertising event as a scanner in range would hear it.
struct AdvertisingReport {
  enum class Pdu { kConnectable, kScannable, kNonConnectable };

  size_t peripheral = 0;
  std::chrono::microseconds time{0};
  BdAddress address;
  AddressType addressType = AddressType::kPublic;
  Pdu pdu = Pdu::kConnectable;
  Bytes advData;
  Bytes scanResponse;  // what a scan request would get; empty when there is none
  int rssiDbm = 0;
};

// The peripherals around a virtual radio and what they put on air over time.
// It keeps no clock of its own: its owner asks when each peripheral advertises
// next and what it sends then, and serialises all calls.
class RfEnvironment {
 public:
  using Micros = std::chrono::microseconds;

  explicit RfEnvironment(std::vector<Peripheral> peripherals);

  const std::vector<Peripheral>& Peripherals() const { return m_peripherals; }
  Micros FirstAdvertisement(size_t peripheral) const;
  Micros NextAdvertisement(size_t peripheral, Micros after) const;
  // Nothing when the peripheral is out of range, the air is silenced, or it is
  // connected and does not advertise then.
  std::optional<AdvertisingReport> Advertise(size_t peripheral, Micros at) const;
  // The peripheral that would accept a connection request for this address now.
  std::optional<size_t> FindConnectable(const BdAddress& address, AddressType type, Micros at) const;
  int RssiAt(size_t peripheral, Micros at) const;

  void SetSilent(bool silent) { m_silent = silent; }
  bool Silent() const { return m_silent; }
  void SetConnected(size_t peripheral, bool connected) { m_connected.at(peripheral) = connected; }
  bool Connected(size_t peripheral) const { return m_connected.at(peripheral); }

 private:
  std::vector<Peripheral> m_peripherals;
  std::vector<bool> m_connected;
  bool m_silent = false;
};

}  // namespace lumen::sim
