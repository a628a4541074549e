#pragma once

// Time-outs the fault tests give the library's waits for the radio.

namespace lumen::testing {

inline constexpr int kPatientMs = 5000;  // time-outs that must not run out
inline constexpr int kShortMs = 300;     // a time-out a fault is meant to run out

}  // namespace lumen::testing
