#include "sim/RadioHost.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace lumen::sim {

namespace {

constexpr std::chrono::milliseconds kWaitSlice{100};

}  // namespace

RadioHost::RadioHost(std::string linkPath) : m_linkPath(std::move(linkPath)) {}

RadioHost::~RadioHost() {
  Shutdown();
  std::unique_lock lock(m_mutex);
  m_radio.reset();
}

void RadioHost::Load(Scenario scenario, const VirtualBled112Options& options) {
  // Counted first, so waits stand aside instead of keeping the lock from the load.
  ++m_generation;
  std::unique_lock lock(m_mutex);
  m_radio.reset();
  VirtualBled112Options withLink = options;
  withLink.linkPath = m_linkPath;
  m_radio = std::make_unique<VirtualBled112>(std::move(scenario), withLink);
  m_radio->SetPathCallback([](const std::string& path) {
    if (path.empty()) {
      std::fprintf(stderr, "lumen-sim: device removed\n");
    } else {
      std::fprintf(stderr, "lumen-sim: device arrived at %s\n", path.c_str());
    }
  });
}

void RadioHost::With(const std::function<void(VirtualBled112&)>& use) const {
  std::shared_lock lock(m_mutex);
  if (!m_radio) throw NoRadioError();
  use(*m_radio);
}

bool RadioHost::Wait(std::chrono::milliseconds timeout,
                     const std::function<bool(VirtualBled112&, std::chrono::milliseconds)>& attempt) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const uint64_t generation = m_generation.load();
  for (;;) {
    const auto left =
        std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()),
                 std::chrono::milliseconds(0));
    {
      std::shared_lock lock(m_mutex);
      if (m_stopping) throw std::runtime_error("lumen-sim is shutting down");
      if (m_generation != generation) throw std::runtime_error("the radio was replaced by a load during the wait");
      if (!m_radio) throw NoRadioError();
      if (attempt(*m_radio, std::min(left, kWaitSlice))) return true;
    }
    if (left.count() == 0) return false;
  }
}

void RadioHost::Shutdown() { m_stopping = true; }

}  // namespace lumen::sim
