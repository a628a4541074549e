#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <set>
#include <string>

namespace lumen::details {

// Process-wide advertisement and address rates, written to the DEBUG log at
// the end of each period (about one scanner tick, or up to a connection attempt).
class ScanStatistics {
 public:
  // The lowest and highest per-second rate of the periods so far; before the
  // first, min is above max.
  struct RateRange {
    double min = std::numeric_limits<double>::max();
    double max = std::numeric_limits<double>::lowest();

    void Add(double rate) {
      min = std::min(min, rate);
      max = std::max(max, rate);
    }
  };

  struct Totals {
    uint64_t totalMacs = 0;
    uint64_t totalAdverts = 0;
    uint64_t totalMs = 0;
    uint64_t periodCount = 0;
    RateRange adverts;
    RateRange macs;
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
