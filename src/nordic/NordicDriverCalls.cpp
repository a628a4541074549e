#include "nordic/NordicDriverCalls.h"

#include "nordic/NordicStatusNames.h"

namespace lumen::Nordic {

std::mutex& DriverCallMutex() {
  static auto* mutex = new std::mutex;  // never destroyed, like the instance list
  return *mutex;
}

std::string ErrorText(uint32_t code) { return NordicStatusName(code); }

}  // namespace lumen::Nordic
