#pragma once

// The parts of the chaos soak that need no radio and no time: the fault
// schedule drawn from a seed, the recovery statistics and the verdict on
// resources. The soak program (SoakMain.cpp) drives the radios with them.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace lumen::soak {

using Millis = std::chrono::milliseconds;

// One kind of fault a radio can produce. A kind with a hold lasts that long
// (drawn between the bounds) before it is ended; one without happens at once.
struct FaultKind {
  std::string name;
  Millis minHold{0};
  Millis maxHold{0};
};

struct PlannedFault {
  size_t kind = 0;
  Millis gapBefore{0};  // quiet time after the previous fault was over
  Millis hold{0};
  uint64_t detail = 0;  // seeds the fault's own parameters (bytes, counts, …)
};

// The same seed and kinds give the same faults in the same order. Kinds are
// dealt from a shuffled deck, so every kind comes once in each round of as
// many faults as there are kinds, even in a short run.
class Schedule {
 public:
  Schedule(uint64_t seed, std::vector<FaultKind> kinds, Millis minGap, Millis maxGap);
  PlannedFault Next();
  const std::vector<FaultKind>& Kinds() const { return m_kinds; }

 private:
  uint64_t Between(uint64_t low, uint64_t high);  // inclusive; the same on every standard library

  std::mt19937_64 m_random;
  std::vector<FaultKind> m_kinds;
  Millis m_minGap;
  Millis m_maxGap;
  std::vector<size_t> m_deck;
};

// Nearest-rank percentile (p in (0, 100]) of the values; nullopt for none.
std::optional<double> Percentile(std::vector<double> values, double p);

// Recovery times of one fault kind, in seconds; an unrecovered fault has none.
struct KindResult {
  std::string name;
  size_t count = 0;
  std::vector<double> recoveries;

  size_t Recovered() const { return recoveries.size(); }
};

std::string FormatKindLine(const KindResult& result);

struct Resources {
  long fds = 0;
  long threads = 0;
  size_t heapBytes = 0;
};

// Heap in use may move with caches and the virtual radio's logs; it counts as
// grown only past this much above the start.
constexpr size_t kHeapAllowanceBytes = 8u << 20;

struct GrowthVerdict {
  bool fdsGrew = false;
  bool threadsGrew = false;
  bool heapGrew = false;
  bool Grew() const { return fdsGrew || threadsGrew || heapGrew; }
};

GrowthVerdict JudgeGrowth(const Resources& start, const Resources& end, size_t heapAllowance = kHeapAllowanceBytes);

// "soak: N faults, N recovered, p99 X s, worst Y s, fds A->B, threads C->D"
std::string FormatSummaryLine(const std::vector<KindResult>& results, const Resources& start, const Resources& end);

}  // namespace lumen::soak
