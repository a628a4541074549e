#pragma once

// Many threads at once, for tests of what must hold under concurrency.

#include <cstddef>
#include <functional>
#include <set>
#include <thread>
#include <vector>

namespace lumen::testing {

// Runs body(t) for each t below count, each on a thread of its own, all at
// once; returns when every one has finished.
inline void OnThreads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) {
    threads.emplace_back(body, t);
  }
  for (auto& thread : threads) {
    thread.join();
  }
}

// How many different values the lists hold between them.
template <typename T>
size_t DistinctCount(const std::vector<std::vector<T>>& lists) {
  std::set<T> distinct;
  for (const auto& list : lists) {
    distinct.insert(list.begin(), list.end());
  }
  return distinct.size();
}

}  // namespace lumen::testing
