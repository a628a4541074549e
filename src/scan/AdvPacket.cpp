#include "scan/AdvPacket.h"

#include <utility>

#include "bluegiga/BgApi.h"
#include "lumen/BluegigaHelper.h"

namespace lumen::details {

AdvPacket::AdvPacket(const bglib::ble_msg_gap_scan_response_evt_t& record)
    : m_rssi(record.rssi),
      m_address(bglib::Helper::BgAddrToAddress(&record.sender, record.address_type)),
      m_packetType(record.packet_type),
      m_bond(record.bond),
      m_data(record.data.data(), record.data.data() + record.data.len) {}

AdvPacket::AdvPacket(int8_t rssi, const Address& address, uint8_t packetType, uint8_t bond,
                     std::vector<unsigned char> data)
    : m_rssi(rssi), m_address(address), m_packetType(packetType), m_bond(bond), m_data(std::move(data)) {}

}  // namespace lumen::details
