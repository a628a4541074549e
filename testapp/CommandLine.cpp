#include "CommandLine.h"

#include <cctype>
#include <cstdint>
#include <limits>
#include <optional>

#include "ConsoleOutput.h"

namespace lumenTestApp {

namespace {

constexpr size_t kUuidTextLength = 36;

// Decimal digits only, within `limit`: "%u" would take "-1" or "80x" and wrap
// or truncate what reaches the radio.
std::optional<unsigned> ReadUnsigned(const std::string& text, uint64_t limit) {
  if (text.empty() || text.size() > 10) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (const char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
      return std::nullopt;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > limit) {
    return std::nullopt;
  }
  return static_cast<unsigned>(value);
}

// The value of -i, -w or -f: its message when it is good, its error line when not.
bool ReadNumberOption(const std::string& value, uint64_t limit, const char* messageFormat, const char* errorLine,
                      unsigned& out) {
  const std::optional<unsigned> number = ReadUnsigned(value, limit);
  if (!number) {
    Print(errorLine);
    return false;
  }
  out = *number;
  PrintF(messageFormat, out);
  return true;
}

}  // namespace

void PrintUsage() {
  Print(
      "Usage: lumenTestApp.exe <-cCOMport> <-u<uuid>>* [-s] [-v[0-2]] [-i<interval>] [-w<window>] "
      "[-f<challenge/response "
      "frequency in seconds>]\n");
  Print(
      "\tExample: ScanProbe.exe -cCOM10 -u38a094a1-b1a0-472c-bd2f-00243623c016 "
      "-u016e9c91-5c83-4eae-b52a-0e7c72201c7b -v1\n");
  Print("\tThe test program will always beacon (emit advertisements) unless the -s (silent) option is specified.\n");
  Print("\tThe test program will always scan for advertisements.\n");
  Print(
      "\tIf you specify one or more UUIDs using the -u option, the test program will connect to peripherals that "
      "advertise those UUIDs.\n");
  Print("\t-i and -w can be used to alter the passive scan interval (default 160) and window (default 80)\n");
}

ParseResult ParseCommandLine(int argc, const char* const* argv, Options& options) {
  constexpr uint64_t kScanUnitsLimit = std::numeric_limits<unsigned short>::max();
  constexpr uint64_t kSecondsLimit = std::numeric_limits<uint32_t>::max();
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.size() < 2 || argument[0] != '-') {
      return ParseResult::kUsage;
    }
    const std::string value = argument.substr(2);
    switch (argument[1]) {
      case 'c':
        options.port = value;
        break;
      case 'u':
        if (value.size() != kUuidTextLength) {
          return ParseResult::kUsage;
        }
        options.uuids.insert(value);
        break;
      case 's':
        if (!value.empty()) {
          return ParseResult::kUsage;
        }
        options.silent = true;
        PrintF("'silent' option specified, no beaconing\n");
        break;
      case 'v':
        if (value.size() != 1 || std::isdigit(static_cast<unsigned char>(value[0])) == 0) {
          return ParseResult::kUsage;
        }
        g_loggingLevel.store(static_cast<unsigned>(value[0] - '0'));
        PrintF("logging level %u\n", g_loggingLevel.load());
        break;
      case 'i':
        if (!ReadNumberOption(value, kScanUnitsLimit, "use scan interval %u\n", "ERROR: invalid scan interval\n",
                              options.scanInterval)) {
          return ParseResult::kInvalidValue;
        }
        break;
      case 'w':
        if (!ReadNumberOption(value, kScanUnitsLimit, "use scan window %u\n", "ERROR: invalid scan window\n",
                              options.scanWindow)) {
          return ParseResult::kInvalidValue;
        }
        break;
      case 'f':
        if (!ReadNumberOption(value, kSecondsLimit, "use challenge/response frequency of %u seconds\n",
                              "ERROR: invalid challenge/response frequency\n", options.challengePeriodSeconds)) {
          return ParseResult::kInvalidValue;
        }
        break;
      case 'r':
        if (!value.empty()) {
          return ParseResult::kUsage;
        }
        options.fullChallengeResponse = false;
        break;
      default:
        return ParseResult::kUsage;
    }
  }
  return options.port.empty() ? ParseResult::kUsage : ParseResult::kRun;
}

}  // namespace lumenTestApp
