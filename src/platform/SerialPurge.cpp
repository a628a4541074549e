#include "platform/SerialPurge.h"

#if defined(_WIN32)
#include "platform/WindowsApi.h"
#else
#include <termios.h>
#endif

namespace lumen::details {

bool PurgeReceiveBuffer(NativeSerialHandle handle) {
#if defined(_WIN32)
  return PurgeComm(static_cast<HANDLE>(handle), PURGE_RXCLEAR) != 0;
#else
  return tcflush(handle, TCIFLUSH) == 0;
#endif
}

}  // namespace lumen::details
