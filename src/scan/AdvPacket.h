#pragma once

#include <cstdint>
#include <vector>

#include "lumen/Address.h"

namespace lumen::details::bglib {
struct ble_msg_gap_scan_response_evt_t;
}

namespace lumen::details {

// One received advertisement. Shared as std::shared_ptr<const AdvPacket> and
// never changed after construction, so any thread may read it.
class AdvPacket {
 public:
  // Both radios deliver their reports in the BGAPI scan-response record.
  explicit AdvPacket(const bglib::ble_msg_gap_scan_response_evt_t& record);
  AdvPacket(int8_t rssi, const Address& address, uint8_t packetType, uint8_t bond, std::vector<unsigned char> data);

  int8_t rssi() const { return m_rssi; }  // dBm
  const Address& address() const { return m_address; }
  uint8_t packetType() const { return m_packetType; }  // 0 = connectable undirected
  uint8_t bond() const { return m_bond; }
  const std::vector<unsigned char>& data() const { return m_data; }

 private:
  int8_t m_rssi;
  Address m_address;
  uint8_t m_packetType;
  uint8_t m_bond;
  std::vector<unsigned char> m_data;
};

}  // namespace lumen::details
