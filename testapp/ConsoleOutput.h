#pragma once

// Everything lumenTestApp prints goes through here, so that lines written by
// library threads, timer threads and the key loop never interleave and reach
// a pipe at once.

#include <lumen/Logger.h>

#include <atomic>
#include <string>
#include <vector>

namespace lumenTestApp {

// Process-wide state the callbacks read from any thread.
extern std::atomic<unsigned> g_loggingLevel;  // which library lines are printed
extern std::atomic<unsigned> g_advertCount;   // advertisement callbacks so far

// Writes the text as it is and flushes.
void Print(const std::string& text);
// printf-style, for the program's own fixed messages.
void PrintF(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Local time as "2024-03-05 14:07:09.045".
std::string Timestamp();

// What one library log line turns into at a given logging level: the lines to
// print (each ending in a newline) and whether the test run ends here.
struct LogOutcome {
  std::vector<std::string> lines;
  bool endProcess = false;
};
LogOutcome FormatLogLine(unsigned level, lumen::Logger::LogType type, const std::string& message,
                         const std::string& timestamp);

// The library's log callback (also the controller's).
void OnLog(lumen::Logger::LogType type, const std::string& message);

// Ends the process from any thread without running static destructors, which
// would tear the library down under its own threads. Restores the terminal.
[[noreturn]] void EndProcess(int exitCode);

}  // namespace lumenTestApp
