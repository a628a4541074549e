#include "scan/ScanStatistics.h"

#include <algorithm>

#include "core/Log.h"
#include "platform/Clock.h"

namespace lumen::details {
namespace {

double PerSecond(double count, double milliseconds) { return count / (milliseconds / 1000.0); }

}  // namespace

ScanStatistics::ScanStatistics() = default;

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
    m_totals.adverts.Add(advertRate);
    m_totals.macs.Add(macRate);
    Log(kDebug, "scan #", m_totals.periodCount, "ended after ", elapsedMs, "msec; #adverts/sec =", advertRate,
        "#mac addresses/sec =", macRate,
        "; running totals #adverts/sec =", PerSecond(static_cast<double>(m_totals.totalAdverts), totalMs),
        "; #MAC addresses/second =", PerSecond(static_cast<double>(m_totals.totalMacs), totalMs),
        "; min adverts/sec =", m_totals.adverts.min, "; max adverts/sec =", m_totals.adverts.max,
        "; min mac addresses/sec =", m_totals.macs.min, "; max mac addresses/sec =", m_totals.macs.max);
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
  m_totals = Totals{};
}

}  // namespace lumen::details
