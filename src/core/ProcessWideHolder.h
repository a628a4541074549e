#pragma once

#include <memory>
#include <mutex>

namespace lumen::details {

// The one shared T the whole process reaches. Guarded, because library
// threads take copies while the application may be replacing it. Never
// destroyed: a thread or an application object going away at process exit
// still finds a valid (perhaps empty) holder.
template <class T>
struct ProcessWideHolder {
  std::mutex mutex;
  std::shared_ptr<T> held;

  static ProcessWideHolder& Get() {
    static auto* const holder = new ProcessWideHolder();
    return *holder;
  }
};

}  // namespace lumen::details
