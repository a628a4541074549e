#include "lumen/Errors.h"

namespace lumen::details {

KesBluetoothSDKLibError::KesBluetoothSDKLibError(const std::string& message, int code)
    : m_text(message), m_code(code) {}

const char* KesBluetoothSDKLibError::what() const noexcept {
  return m_text.empty() ? "Unknown exception" : m_text.c_str();
}

const char* NotImplementedException::what() const noexcept { return "Function not yet implemented"; }

}  // namespace lumen::details
