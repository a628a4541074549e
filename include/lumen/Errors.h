#pragma once

#include <exception>
#include <string>

#include "lumen/Export.h"

namespace lumen::details {

// Codes the library raises itself; every other code comes from the radio.
constexpr int kErrorUnexpectedDisconnect = 0x9000;  // procedure cut short by a disconnection
constexpr int kErrorGeneral = 0x9001;
constexpr int kErrorInvalidHandle = 0x9002;  // the radio answered "Invalid Handle"

class LUMEN_API KesBluetoothSDKLibError : public std::exception {
 public:
  KesBluetoothSDKLibError(const std::string& message, int code);

  const char* what() const noexcept override;
  int code() const noexcept { return m_code; }

 protected:
  // For subclasses that compose a longer text around the message.
  void SetText(std::string text) { m_text = std::move(text); }

 private:
  std::string m_text;
  int m_code;
};

class LUMEN_API NotImplementedException : public std::exception {
 public:
  const char* what() const noexcept override;
};

}  // namespace lumen::details
