#pragma once

#include <cstdint>

// BGAPI result codes the virtual radio answers with.
namespace lumen::sim::bgapi_result {

inline constexpr uint16_t kSuccess = 0x0000;
inline constexpr uint16_t kInvalidParameter = 0x0180;
inline constexpr uint16_t kWrongState = 0x0181;
inline constexpr uint16_t kNotImplemented = 0x0183;
inline constexpr uint16_t kNotConnected = 0x0186;
inline constexpr uint16_t kConnectionTimeout = 0x0208;
inline constexpr uint16_t kConnectionLimitExceeded = 0x0209;
inline constexpr uint16_t kRemoteUserTerminated = 0x0213;
inline constexpr uint16_t kLocalHostTerminated = 0x0216;
inline constexpr uint16_t kAttErrorBase = 0x0400;  // ORed with the ATT error code
inline constexpr uint16_t kAttInvalidHandle = 0x0401;
inline constexpr uint16_t kAttAttributeNotFound = 0x040A;
inline constexpr uint16_t kAttUnsupportedGroupType = 0x0410;

}  // namespace lumen::sim::bgapi_result
