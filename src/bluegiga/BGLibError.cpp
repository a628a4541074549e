#include "lumen/BGLibError.h"

#include <cstdint>

namespace lumen::details {

namespace {

struct ResultText {
  uint16_t code;
  const char* text;
};

// Sorted by code.
constexpr ResultText kResultTexts[] = {
    {0x0180, "Invalid Parameter"},
    {0x0181, "Device in Wrong State"},
    {0x0182, "Out Of Memory"},
    {0x0183, "Feature Not Implemented"},
    {0x0184, "Command Not Recognized"},
    {0x0185, "Timeout"},
    {0x0186, "Not Connected"},
    {0x0187, "Flow"},
    {0x0188, "User Attribute"},
    {0x018A, "Command Too Long"},
    {0x018B, "Out of Bonds"},
    {0x0205, "Authentication Failure"},
    {0x0206, "Pin or Key Missing"},
    {0x0207, "Memory Capacity Exceeded"},
    {0x0208, "Connection Timeout"},
    {0x0209, "Connection Limit Exceeded"},
    {0x020C, "Command Disallowed"},
    {0x0212, "Invalid Command Parameters"},
    {0x0213, "Remote User Terminated Connection"},
    {0x0216, "Connection Terminated by Local Host"},
    {0x0222, "LL Response Timeout"},
    {0x0228, "LL Instant Passed"},
    {0x023A, "Controller Busy"},
    {0x023B, "Unacceptable Connection Interval"},
    {0x023C, "Directed Advertising Timeout"},
    {0x023D, "MIC Failure"},
    {0x023E, "Connection Failed to be Established"},
    {0x0301, "Passkey Entry Failed"},
    {0x0302, "OOB Data is not available"},
    {0x0303, "Authentication Requirements"},
    {0x0304, "Confirm Value Failed"},
    {0x0305, "Pairing Not Supported"},
    {0x0306, "Encryption Key Size"},
    {0x0307, "Command Not Supported"},
    {0x0308, "Unspecified Reason"},
    {0x0309, "Repeated Attempts"},
    {0x030A, "Invalid Parameters"},
    {0x0401, "Invalid Handle"},
    {0x0402, "Read Not Permitted"},
    {0x0403, "Write Not Permitted"},
    {0x0404, "Invalid PDU"},
    {0x0405, "Insufficient Authentication"},
    {0x0406, "Request Not Supported"},
    {0x0407, "Invalid Offset"},
    {0x0408, "Insufficient Authorization"},
    {0x0409, "Prepare Queue Full"},
    {0x040A, "Attribute Not Found"},
    {0x040B, "Attribute Not Long"},
    {0x040C, "Insufficient Encryption Key Size"},
    {0x040D, "Invalid Attribute Value Length"},
    {0x040E, "Unlikely Error"},
    {0x040F, "Insufficient Encryption"},
    {0x0410, "Unsupported Group Type"},
    {0x0411, "Insufficient Resources"},
    {0x0480, "Application Error Codes"},
    {0x9000, "Unexpected disconnect"},
};

}  // namespace

const char* BGLibError::CodeText(int code) {
  const auto code16 = static_cast<uint16_t>(code);
  for (const ResultText& entry : kResultTexts) {
    if (entry.code == code16) {
      return entry.text;
    }
  }
  return "Unknown error";
}

BGLibError::BGLibError(const std::string& message, int code) : KesBluetoothSDKLibError(message, code) {
  SetText(message + " (Error: " + std::to_string(static_cast<uint16_t>(code)) + ") : " + CodeText(code));
}

}  // namespace lumen::details
