#pragma once

#include <cstdint>
#include <vector>

#include "core/IBluetoothSDK.h"

namespace lumen::details {

// What the application last asked of the radio, kept so that a radio the
// library reopens after it went away can be put back as it was.
void RememberScanParameters(uint16_t interval, uint16_t window, uint8_t active);
void RememberConnectionScanParameters(uint16_t interval, uint16_t window);
void RememberTimeouts(int responseTimeoutMs, int eventTimeoutMs);
void RememberTxPower(uint8_t power);
void RememberAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data);
void RememberAdvertisementParameters(uint16_t interval);
void RememberAdvertising(bool on);
void ForgetRadioSettings();

// Applies what was remembered to a freshly opened radio, each setting on its
// own: one the radio refuses is logged and the rest still go out.
void ReapplyRadioSettings(IBluetoothSDK& sdk);

}  // namespace lumen::details
