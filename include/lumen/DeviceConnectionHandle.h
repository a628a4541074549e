#pragma once

#include <cstdint>

#include "lumen/Export.h"

namespace lumen::details {

// The library's own name for one connection. Each backend maps it to its
// native handle through the process-wide connection table; identifiers are
// never reused.
class LUMEN_API DeviceConnectionHandle {
 public:
  // Issues the next identifier (1, 2, ...).
  DeviceConnectionHandle();

  // Binds this identifier to the radio's handle once the connection is up.
  void Connect(uint32_t native);
  bool IsConnected() const;
  int64_t id() const { return m_id; }

  friend bool operator==(const DeviceConnectionHandle& a, const DeviceConnectionHandle& b) { return a.m_id == b.m_id; }

 private:
  int64_t m_id;
};

}  // namespace lumen::details
