#pragma once

#include <cstdint>
#include <string>

namespace lumen::Nordic {

// "0x" and the low 16 bits as four lower-case hex digits, a space, then the
// name of a pc-ble-driver or SoftDevice result code, or "(error not decoded yet)".
std::string NordicStatusName(uint32_t code);
// The same for a GATT status of a SoftDevice event, or "(gatt status not decoded yet)".
std::string GattStatusName(uint16_t status);

}  // namespace lumen::Nordic
