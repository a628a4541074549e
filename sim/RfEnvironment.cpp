#include "sim/RfEnvironment.h"

namespace lumen::sim {

namespace {

uint64_t ToMs(std::chrono::microseconds at) { return static_cast<uint64_t>(at.count() / 1000); }

}  // namespace

RfEnvironment::RfEnvironment(std::vector<Peripheral> peripherals)
    : m_peripherals(std::move(peripherals)), m_connected(m_peripherals.size(), false) {}

RfEnvironment::Micros RfEnvironment::FirstAdvertisement(size_t peripheral) const {
  return std::chrono::milliseconds(m_peripherals.at(peripheral).firstAdvertMs);
}

RfEnvironment::Micros RfEnvironment::NextAdvertisement(size_t peripheral, Micros after) const {
  return after + std::chrono::milliseconds(m_peripherals.at(peripheral).advIntervalMs);
}

std::optional<AdvertisingReport> RfEnvironment::Advertise(size_t peripheral, Micros at) const {
  const Peripheral& p = m_peripherals.at(peripheral);
  if (m_silent || !p.PresentAt(ToMs(at))) return std::nullopt;
  if (m_connected[peripheral] && !p.advertisesWhileConnected) return std::nullopt;
  AdvertisingReport report;
  report.peripheral = peripheral;
  report.time = at;
  report.address = p.AddressAt(ToMs(at));
  report.addressType = p.addressType;
  if (p.connectable) {
    report.pdu = AdvertisingReport::Pdu::kConnectable;
  } else if (!p.scanResponse.empty()) {
    report.pdu = AdvertisingReport::Pdu::kScannable;
  } else {
    report.pdu = AdvertisingReport::Pdu::kNonConnectable;
  }
  report.advData = p.advData;
  if (report.pdu != AdvertisingReport::Pdu::kNonConnectable) report.scanResponse = p.scanResponse;
  report.rssiDbm = p.rssi.At(ToMs(at));
  return report;
}

std::optional<size_t> RfEnvironment::FindConnectable(const BdAddress& address, AddressType type, Micros at) const {
  if (m_silent) return std::nullopt;
  for (size_t i = 0; i < m_peripherals.size(); ++i) {
    const Peripheral& p = m_peripherals[i];
    if (!p.connectable || m_connected[i] || !p.PresentAt(ToMs(at))) continue;
    if (p.addressType == type && p.AddressAt(ToMs(at)) == address) return i;
  }
  return std::nullopt;
}

int RfEnvironment::RssiAt(size_t peripheral, Micros at) const { return m_peripherals.at(peripheral).rssi.At(ToMs(at)); }

}  // namespace lumen::sim
