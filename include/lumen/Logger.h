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

/// All diagnostic text of the library goes to one application callback; the library prints and
/// writes nothing itself. Without a callback, logging costs one pointer test and formats nothing.
class LUMEN_API Logger {
 public:
  /// The level of a log line.
  enum LogType : int32_t {
    DEBUG = 0,    ///< Detail for tracing the library's work; plentiful.
    INFO = 1,     ///< Milestones: radio opened, scanning started, a job resolved.
    WARNING = 2,  ///< Something went wrong and the library carried on.
    ERROR = 3     ///< An operation failed.
  };
  /// The application's log function: the line's level and its text. It runs on whichever library
  /// or application thread logs, several at once, sometimes with the event bus locked: it must not
  /// call lumen (copy the text and return). Whatever it throws is swallowed. See
  /// \ref md_docs_threads "Threads and callbacks".
  using Callback = void (*)(LogType, const std::string&);

  /// The current callback, or null. Read on every log call from every library thread, hence
  /// atomic; set it through SetLogCallback().
  static std::atomic<Callback> callback_;

  /// \param type a level.
  /// \return "DEBUG", "INFO", "WARNING" or "ERROR"; "Unknown" for any other value.
  static const char* LogTypeToString(LogType type);
  /// Sets where log lines go. Best called before Initialize(): a line being logged on another
  /// thread at that moment may still reach the previous callback.
  /// \param callback the new callback; null switches logging off.
  static void SetLogCallback(Callback callback);

  /// \return whether a callback is set, so a caller can skip building costly text.
  static bool IsEnabled() { return callback_.load(std::memory_order_relaxed) != nullptr; }

  /// Logs one line built from the pieces, joined with one space; integers (bytes included) are
  /// written in decimal. A line that cannot be formatted is reported at ERROR instead, and
  /// whatever the callback throws is swallowed.
  /// \tparam Pieces anything std::ostream can write.
  /// \param type the line's level.
  /// \param pieces the parts of the text.
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
