#include "nordic/NordicDriverCalls.h"

#include "nordic/NordicStatusNames.h"

namespace lumen::Nordic {

std::mutex& DriverCallMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string ErrorText(uint32_t code) { return NordicStatusName(code); }

}  // namespace lumen::Nordic
