#pragma once

#include <exception>
#include <string>

#include "core/Log.h"

namespace lumen::details {

// Runs an application callback from a library thread, which must carry on
// whatever the application throws: the throw is logged at `level` as
// "<name> caused exception: <what>" or "<name> caused non-std::exception"
// and goes no further.
template <class Call>
void CallApplication(Logger::LogType level, const char* name, Call&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    Log(level, std::string(name) + " caused exception: " + e.what());
  } catch (...) {
    Log(level, std::string(name) + " caused non-std::exception");
  }
}

}  // namespace lumen::details
