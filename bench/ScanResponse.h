#pragma once

#include <cstdint>
#include <vector>

namespace lumen::bench {

// The payload of a BGAPI gap_scan_response event: an advertisement from the
// random address top:55:44:33:<index>, no bond, carrying `data`.
inline std::vector<uint8_t> ScanResponseRecord(int8_t rssi, uint16_t index, uint8_t top,
                                               const std::vector<uint8_t>& data) {
  std::vector<uint8_t> record = {static_cast<uint8_t>(rssi),
                                 0x00,  // packet type
                                 static_cast<uint8_t>(index),
                                 static_cast<uint8_t>(index >> 8),
                                 0x33,
                                 0x44,
                                 0x55,
                                 top,
                                 0x01,  // random address
                                 0xFF,  // no bond
                                 static_cast<uint8_t>(data.size())};
  record.insert(record.end(), data.begin(), data.end());
  return record;
}

}  // namespace lumen::bench
