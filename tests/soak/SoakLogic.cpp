#include "soak/SoakLogic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace lumen::soak {

namespace {

std::string Seconds(std::optional<double> value) {
  if (!value) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", *value);
  return text;
}

}  // namespace

Schedule::Schedule(uint64_t seed, std::vector<FaultKind> kinds, Millis minGap, Millis maxGap)
    : m_random(seed), m_kinds(std::move(kinds)), m_minGap(minGap), m_maxGap(maxGap) {
  if (m_kinds.empty()) throw std::invalid_argument("a schedule needs at least one fault kind");
  if (m_maxGap < m_minGap) throw std::invalid_argument("the longest gap is shorter than the shortest");
}

uint64_t Schedule::Between(uint64_t low, uint64_t high) {
  // Plain modulo: the distributions of <random> may differ between libraries,
  // and a seed must name the same run everywhere.
  return low + m_random() % (high - low + 1);
}

PlannedFault Schedule::Next() {
  if (m_deck.empty()) {
    for (size_t i = 0; i < m_kinds.size(); ++i) m_deck.push_back(i);
    for (size_t i = m_deck.size() - 1; i > 0; --i) std::swap(m_deck[i], m_deck[Between(0, i)]);
  }
  PlannedFault fault;
  fault.kind = m_deck.back();
  m_deck.pop_back();
  const FaultKind& kind = m_kinds[fault.kind];
  fault.gapBefore = Millis(Between(static_cast<uint64_t>(m_minGap.count()), static_cast<uint64_t>(m_maxGap.count())));
  fault.hold = Millis(Between(static_cast<uint64_t>(kind.minHold.count()),
                              static_cast<uint64_t>(std::max(kind.minHold, kind.maxHold).count())));
  fault.detail = m_random();
  return fault;
}

std::optional<double> Percentile(std::vector<double> values, double p) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
  const size_t index = static_cast<size_t>(std::clamp(rank, 1.0, static_cast<double>(values.size()))) - 1;
  return values[index];
}

std::string FormatKindLine(const KindResult& result) {
  char text[256];
  std::snprintf(text, sizeof text, "%-24s %4zu faults, %4zu recovered, median %s s, p99 %s s, worst %s s",
                result.name.c_str(), result.count, result.Recovered(),
                Seconds(Percentile(result.recoveries, 50)).c_str(), Seconds(Percentile(result.recoveries, 99)).c_str(),
                Seconds(Percentile(result.recoveries, 100)).c_str());
  return text;
}

GrowthVerdict JudgeGrowth(const Resources& start, const Resources& end, size_t heapAllowance) {
  GrowthVerdict verdict;
  verdict.fdsGrew = end.fds > start.fds;
  verdict.threadsGrew = end.threads > start.threads;
  verdict.heapGrew = end.heapBytes > start.heapBytes && end.heapBytes - start.heapBytes > heapAllowance;
  return verdict;
}

std::string FormatSummaryLine(const std::vector<KindResult>& results, const Resources& start, const Resources& end) {
  size_t faults = 0;
  std::vector<double> all;
  for (const KindResult& result : results) {
    faults += result.count;
    all.insert(all.end(), result.recoveries.begin(), result.recoveries.end());
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "soak: %zu faults, %zu recovered, p99 %s s, worst %s s, fds %ld->%ld, threads %ld->%ld", faults,
                all.size(), Seconds(Percentile(all, 99)).c_str(), Seconds(Percentile(all, 100)).c_str(), start.fds,
                end.fds, start.threads, end.threads);
  return text;
}

}  // namespace lumen::soak
