#pragma once

#include <atomic>
#include <cstdint>
#include <ios>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#include "lumen/Export.h"

// <windows.h> (without NOGDI) defines ERROR as a macro. The header keeps it
// out of its own way whether Windows headers come before or after it; code
// that names Logger::ERROR after including <windows.h> needs NOGDI or an
// #undef ERROR of its own.
#if defined(ERROR)
#pragma push_macro("ERROR")
#undef ERROR
#define LUMEN_RESTORE_ERROR_MACRO
#endif

namespace lumen {

// All diagnostic text of the library goes to one application callback.
// Without a callback, logging costs one pointer test and formats nothing.
class LUMEN_API Logger {
 public:
  enum LogType : int32_t { DEBUG = 0, INFO = 1, WARNING = 2, ERROR = 3 };
  using Callback = void (*)(LogType, const std::string&);

  // Read on every log call from every library thread, hence atomic.
  static std::atomic<Callback> callback_;

  static const char* LogTypeToString(LogType type);
  // Null switches logging off. Best called before Initialize.
  static void SetLogCallback(Callback callback);

  static bool IsEnabled() { return callback_.load(std::memory_order_relaxed) != nullptr; }

  // Joins the pieces with one space; integers are written in decimal.
  template <class... Pieces>
  static void Log(LogType type, const Pieces&... pieces) {
    const Callback callback = callback_.load(std::memory_order_relaxed);
    if (callback == nullptr) {
      return;
    }
    std::string text;
    try {
      std::ostringstream stream;
      stream.exceptions(std::ios_base::badbit | std::ios_base::failbit);
      bool first = true;
      (WritePiece(stream, pieces, first), ...);
      text = stream.str();
    } catch (const std::ios_base::failure& e) {
      Deliver(callback, ERROR, std::string("Logger::Log failed to trace: ") + e.what());
      return;
    }
    Deliver(callback, type, text);
  }

 private:
  static void Deliver(Callback callback, LogType type, const std::string& text) noexcept {
    try {
      callback(type, text);
    } catch (...) {
      // A failing callback must not break the library code that logs, and
      // there is nowhere else to report it.
    }
  }

  template <class T>
  static void WritePiece(std::ostringstream& stream, const T& piece, bool& first) {
    if (!first) {
      stream << ' ';
    }
    first = false;
    if constexpr (std::is_same_v<T, signed char> || std::is_same_v<T, unsigned char>) {
      stream << static_cast<int>(piece);  // bytes are numbers, not characters
    } else {
      stream << piece;
    }
  }
};

}  // namespace lumen

#if defined(LUMEN_RESTORE_ERROR_MACRO)
#undef LUMEN_RESTORE_ERROR_MACRO
#pragma pop_macro("ERROR")
#endif
