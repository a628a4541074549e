#pragma once

// The phone's four characteristics as a test's application holds them, for
// the fixtures that work with a connected phone.

#include <cstdint>
#include <memory>
#include <vector>

#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "support/PhoneScenario.h"

namespace lumen::testing {

// 00 01 02 …: the long value's first `count` bytes.
inline std::vector<uint8_t> Counting(uint8_t count) {
  std::vector<uint8_t> bytes(count);
  for (uint8_t i = 0; i < count; ++i) {
    bytes[i] = i;
  }
  return bytes;
}

struct PhoneCharacteristics {
  // Takes the four from the phone's service (a phone without one of them
  // throws); true when all four came back.
  bool TakeCharacteristics(GattService& service) {
    m_short = service.GetCharacteristic(kShortValue);
    m_long = service.GetCharacteristic(kLongValue);
    m_notifying = service.GetCharacteristic(kNotifying);
    m_writable = service.GetCharacteristic(kWritable);
    return m_short && m_long && m_notifying && m_writable;
  }

  void ReleaseCharacteristics() {
    m_short.reset();
    m_long.reset();
    m_notifying.reset();
    m_writable.reset();
  }

  std::unique_ptr<GattCharacteristic> m_short;
  std::unique_ptr<GattCharacteristic> m_long;
  std::unique_ptr<GattCharacteristic> m_notifying;
  std::unique_ptr<GattCharacteristic> m_writable;
};

}  // namespace lumen::testing
