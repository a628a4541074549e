#pragma once

#include <cstdint>
#include <vector>

namespace lumen::details {

// One attribute value received on a connection (notification, indication or
// read result), published as "common_evt_data_notification".
struct CommonDataNotificationEvent_t {
  uint32_t connection;  // the backend's native connection handle
  uint16_t attHandle;
  std::vector<uint8_t> data;
};

}  // namespace lumen::details
