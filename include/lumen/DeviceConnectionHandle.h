#pragma once

#include <cstdint>

#include "lumen/Export.h"

namespace lumen::details {

/// The library's own name for one connection. Each backend maps it to its native handle through
/// the process-wide connection table; identifiers are never reused. Copies name the same
/// connection. Thread-safe.
class LUMEN_API DeviceConnectionHandle {
 public:
  /// Issues the next identifier (1, 2, ...), not yet connected.
  DeviceConnectionHandle();

  /// Binds this identifier to the radio's handle once the connection is up.
  /// \param native the backend's connection handle.
  /// \throws KesBluetoothSDKLibError when another identifier holds that native handle.
  void Connect(uint32_t native);
  /// \return whether the identifier is bound to an open connection.
  bool IsConnected() const;
  /// \return the identifier.
  int64_t id() const { return m_id; }

  /// \param a, b the handles compared.
  /// \return whether both name the same connection.
  friend bool operator==(const DeviceConnectionHandle& a, const DeviceConnectionHandle& b) { return a.m_id == b.m_id; }

 private:
  int64_t m_id;
};

}  // namespace lumen::details
