#include "scan/ScanStatistics.h"

#include <algorithm>
#include <limits>

#include "core/Log.h"
#include "platform/Clock.h"

namespace lumen::details {
namespace {

ScanStatistics::Totals InitialTotals() {
  ScanStatistics::Totals totals;
  totals.minAdverts = std::numeric_limits<double>::max();
  totals.maxAdverts = std::numeric_limits<double>::lowest();
  totals.minMacs = std::numeric_limits<double>::max();
  totals.maxMacs = std::numeric_limits<double>::lowest();
  return totals;
}

double PerSecond(double count, double milliseconds) { return count / (milliseconds / 1000.0); }

}  // namespace

ScanStatistics::ScanStatistics() : m_totals(InitialTotals()) {}

ScanStatistics& ScanStatistics::Instance() {
  // Never destroyed: scanner workers may still count while statics go.
  static ScanStatistics* const statistics = new ScanStatistics();
  return *statistics;
}

void ScanStatistics::CountAdvert(const std::string& addressText) {
  std::lock_guard lock(m_mutex);
  if (!m_active) {
    return;
  }
  ++m_advertsInPeriod;
  m_macsInPeriod.insert(addressText);
}

void ScanStatistics::BeginPeriod() {
  std::lock_guard lock(m_mutex);
  if (m_active) {
    return;
  }
  m_active = true;
  m_periodStartMs = SteadyMilliseconds();
}

void ScanStatistics::EndPeriod() {
  std::lock_guard lock(m_mutex);
  if (!m_active) {
    return;
  }
  const int64_t elapsedMs = std::max<int64_t>(0, SteadyMilliseconds() - m_periodStartMs);
  const auto macs = static_cast<uint64_t>(m_macsInPeriod.size());
  m_totals.totalMacs += macs;
  m_totals.totalAdverts += m_advertsInPeriod;
  m_totals.totalMs += static_cast<uint64_t>(elapsedMs);
  ++m_totals.periodCount;
  if (elapsedMs != 0) {
    const auto ms = static_cast<double>(elapsedMs);
    const double advertRate = PerSecond(static_cast<double>(m_advertsInPeriod), ms);
    const double macRate = PerSecond(static_cast<double>(macs), ms);
    const auto totalMs = static_cast<double>(m_totals.totalMs);
    m_totals.minAdverts = std::min(m_totals.minAdverts, advertRate);
    m_totals.maxAdverts = std::max(m_totals.maxAdverts, advertRate);
    m_totals.minMacs = std::min(m_totals.minMacs, macRate);
    m_totals.maxMacs = std::max(m_totals.maxMacs, macRate);
    Log(kDebug, "scan #", m_totals.periodCount, "ended after ", elapsedMs, "msec; #adverts/sec =", advertRate,
        "#mac addresses/sec =", macRate,
        "; running totals #adverts/sec =", PerSecond(static_cast<double>(m_totals.totalAdverts), totalMs),
        "; #MAC addresses/second =", PerSecond(static_cast<double>(m_totals.totalMacs), totalMs),
        "; min adverts/sec =", m_totals.minAdverts, "; max adverts/sec =", m_totals.maxAdverts,
        "; min mac addresses/sec =", m_totals.minMacs, "; max mac addresses/sec =", m_totals.maxMacs);
  }
  m_advertsInPeriod = 0;
  m_macsInPeriod.clear();
  m_active = false;
}

ScanStatistics::Totals ScanStatistics::GetTotals() const {
  std::lock_guard lock(m_mutex);
  return m_totals;
}

void ScanStatistics::ResetForTesting() {
  std::lock_guard lock(m_mutex);
  m_active = false;
  m_periodStartMs = 0;
  m_advertsInPeriod = 0;
  m_macsInPeriod.clear();
  m_totals = InitialTotals();
}

}  // namespace lumen::details
