#include "platform/SerialAvailable.h"

#if defined(_WIN32)
#include "platform/WindowsApi.h"
#else
#include <sys/ioctl.h>
#endif

namespace lumen::details {

size_t SerialBytesAvailable(NativeSerialHandle handle) {
#if defined(_WIN32)
  DWORD errors = 0;
  COMSTAT status{};
  if (ClearCommError(static_cast<HANDLE>(handle), &errors, &status) == 0) {
    return 0;
  }
  return status.cbInQue;
#else
  int count = 0;
  if (ioctl(handle, FIONREAD, &count) != 0 || count < 0) {
    return 0;
  }
  return static_cast<size_t>(count);
#endif
}

}  // namespace lumen::details
