#include "lumen/NordicLibError.h"

#include "nordic/NordicStatusNames.h"

namespace lumen::details {

NordicLibError::NordicLibError(const std::string& message, int code) : KesBluetoothSDKLibError(message, code) {
  const std::string name =
      code == kErrorGeneral ? "Unknown error" : Nordic::NordicStatusName(static_cast<uint32_t>(code));
  SetText(message + " (Error: " + std::to_string(code) + ") : " + name);
}

}  // namespace lumen::details
