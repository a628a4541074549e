#pragma once

#include <cstddef>
#include <cstdint>

namespace lumen::details {

// Hands one received frame to its row's handler, which publishes it on the
// event bus. The payload is read in place, so a frame whose payload does not
// hold the row's record (including its array bytes) is logged and dropped:
// returns false, and the reader goes on with the next frame. Also false for
// a header no row matches. Exceptions of bus subscribers propagate.
bool BgDispatch(const uint8_t* header, const uint8_t* payload, size_t payloadLen);

}  // namespace lumen::details
