#pragma once

#include <exception>
#include <string>

#include "lumen/Export.h"

namespace lumen::details {

/// A procedure cut short by a disconnection. The kError... codes are the ones the library raises
/// itself; every other code comes from the radio.
constexpr int kErrorUnexpectedDisconnect = 0x9000;
/// Any other failure of the library's own: no radio, a radio that went away, a missing service.
constexpr int kErrorGeneral = 0x9001;
/// The radio answered "Invalid Handle"; reads and writes recover from it once by rediscovering.
constexpr int kErrorInvalidHandle = 0x9002;

/// What the library throws: a message and a code (the radio's result code or one of the
/// kError... codes). Every error of a radio call is one of these or a subclass (BGLibError,
/// NordicLibError).
class LUMEN_API KesBluetoothSDKLibError : public std::exception {
 public:
  /// \param message what failed.
  /// \param code the radio's result code or one of the kError... codes.
  KesBluetoothSDKLibError(const std::string& message, int code);

  /// \return the message (subclasses add the code and its text); "Unknown exception" when empty.
  const char* what() const noexcept override;
  /// \return the radio's result code or one of the kError... codes.
  int code() const noexcept { return m_code; }

 protected:
  /// For subclasses that compose a longer text around the message.
  /// \param text the text what() returns from now on.
  void SetText(std::string text) { m_text = std::move(text); }

 private:
  std::string m_text;
  int m_code;
};

/// Thrown, before any radio traffic, by a form of an operation the library does not offer (see
/// GattCharacteristic::WriteValue()).
class LUMEN_API NotImplementedException : public std::exception {
 public:
  /// \return "Function not yet implemented".
  const char* what() const noexcept override;
};

}  // namespace lumen::details
