#pragma once

// The phone's four characteristics as a test's application holds them, for
// the fixtures that work with a connected phone.

#include <memory>

#include "lumen/GattCharacteristic.h"
#include "lumen/GattService.h"
#include "support/PhoneScenario.h"

namespace lumen::testing {

struct PhoneCharacteristics {
  // Takes the four from the phone's service; true when it has them all.
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
