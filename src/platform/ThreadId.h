#pragma once

#include <cstdint>

namespace lumen::details {

// The operating system's id of the calling thread, as log lines show it.
uint64_t CurrentOsThreadId();

}  // namespace lumen::details
