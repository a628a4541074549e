#pragma once

#include <set>
#include <string>

namespace lumenTestApp {

struct Options {
  std::string port;
  std::set<std::string> uuids;  // as given; duplicates collapse
  bool silent = false;
  bool fullChallengeResponse = true;
  unsigned scanInterval = 0;  // 0: not given
  unsigned scanWindow = 0;
  unsigned challengePeriodSeconds = 0;
};

enum class ParseResult { kRun, kUsage, kInvalidValue };

// Reads the options in order, printing each success message as it goes (-v
// also sets the logging level) and the error message of an invalid value.
// kUsage: the caller prints the usage text.
ParseResult ParseCommandLine(int argc, const char* const* argv, Options& options);

void PrintUsage();

}  // namespace lumenTestApp
