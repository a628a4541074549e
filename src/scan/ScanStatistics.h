#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace lumen::details {

// Process-wide advertisement and address rates, written to the DEBUG log at
// the end of each period (about one scanner tick, or up to a connection attempt).
class ScanStatistics {
 public:
  struct Totals {
    uint64_t totalMacs = 0;
    uint64_t totalAdverts = 0;
    uint64_t totalMs = 0;
    uint64_t periodCount = 0;
    double minAdverts = 0;
    double maxAdverts = 0;
    double minMacs = 0;
    double maxMacs = 0;
  };

  static ScanStatistics& Instance();

  // Counts one advertisement from addressText while a period is running.
  void CountAdvert(const std::string& addressText);
  // Starts a period unless one is running.
  void BeginPeriod();
  // Ends the running period, if any, and logs its rates.
  void EndPeriod();

  Totals GetTotals() const;
  void ResetForTesting();

 private:
  ScanStatistics();

  mutable std::mutex m_mutex;
  bool m_active = false;
  int64_t m_periodStartMs = 0;
  uint64_t m_advertsInPeriod = 0;
  std::set<std::string> m_macsInPeriod;
  Totals m_totals;
};

}  // namespace lumen::details
