#include "platform/ThreadId.h"

#if defined(_WIN32)
#include "platform/WindowsApi.h"
#elif defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <pthread.h>
#endif

namespace lumen::details {

uint64_t CurrentOsThreadId() {
#if defined(_WIN32)
  return GetCurrentThreadId();
#elif defined(__linux__)
  return static_cast<uint64_t>(syscall(SYS_gettid));
#else
  uint64_t id = 0;
  pthread_threadid_np(nullptr, &id);
  return id;
#endif
}

}  // namespace lumen::details
