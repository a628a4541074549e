#pragma once

// How long a test waits for what must happen. It only ends a hang, so it is
// generous: a loaded machine must never reach it.

#include <chrono>

namespace lumen::testing {

inline constexpr std::chrono::seconds kGuard{10};

}  // namespace lumen::testing
