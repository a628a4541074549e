#pragma once

#include <string>

namespace lumen::details {

// Whether `port` can be opened for reading and writing right now. Opens and
// closes it at once, sending nothing: a cheap, quiet test of whether a device
// that went away has come back.
bool PortOpens(const std::string& port);

}  // namespace lumen::details
