#include "sim/SimClock.h"

namespace lumen::sim {

SimClock::SimClock(Mode mode) : m_mode(mode) {
  if (m_mode == Mode::kRealTime) m_thread = std::thread([this] { RealTimeThread(); });
}

SimClock::~SimClock() { Stop(); }

void SimClock::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_stopped = true;
    m_timers.clear();
    m_dueById.clear();
  }
  m_changed.notify_all();
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

SimClock::Micros SimClock::NowLocked() const {
  if (m_mode == Mode::kManual) return m_now;
  return m_offset + std::chrono::duration_cast<Micros>(std::chrono::steady_clock::now() - m_start);
}

SimClock::Micros SimClock::Now() const {
  std::lock_guard lock(m_mutex);
  return NowLocked();
}

void SimClock::Advance(Micros by) {
  if (by.count() < 0) by = Micros{0};
  Micros limit;
  {
    std::lock_guard lock(m_mutex);
    if (m_mode == Mode::kManual) {
      limit = m_now + by;
    } else {
      m_offset += by;
      limit = NowLocked();
    }
  }
  m_changed.notify_all();
  RunDue(limit);
  if (m_mode == Mode::kManual) {
    std::lock_guard lock(m_mutex);
    if (m_now < limit) m_now = limit;
  }
}

SimClock::TimerId SimClock::ScheduleAt(Micros at, Callback callback) {
  TimerId id;
  {
    std::lock_guard lock(m_mutex);
    if (m_stopped) return 0;
    id = m_nextId++;
    m_timers.emplace(std::make_pair(at, id), std::move(callback));
    m_dueById.emplace(id, at);
  }
  m_changed.notify_all();
  return id;
}

void SimClock::Cancel(TimerId id) {
  std::lock_guard lock(m_mutex);
  auto found = m_dueById.find(id);
  if (found == m_dueById.end()) return;
  m_timers.erase(std::make_pair(found->second, id));
  m_dueById.erase(found);
}

size_t SimClock::PendingTimers() const {
  std::lock_guard lock(m_mutex);
  return m_timers.size();
}

void SimClock::RunDue(Micros limit) {
  std::lock_guard runner(m_runMutex);
  for (;;) {
    Callback callback;
    Micros due;
    {
      std::lock_guard lock(m_mutex);
      if (m_stopped || m_timers.empty() || m_timers.begin()->first.first > limit) return;
      auto first = m_timers.begin();
      due = first->first.first;
      callback = std::move(first->second);
      m_dueById.erase(first->first.second);
      m_timers.erase(first);
      if (m_mode == Mode::kManual && m_now < due) m_now = due;
    }
    callback(due);
  }
}

void SimClock::RealTimeThread() {
  std::unique_lock lock(m_mutex);
  while (!m_stopped) {
    if (m_timers.empty()) {
      m_changed.wait(lock);
      continue;
    }
    Micros due = m_timers.begin()->first.first;
    Micros now = NowLocked();
    if (due > now) {
      m_changed.wait_for(lock, due - now);
      continue;
    }
    lock.unlock();
    RunDue(now);
    lock.lock();
  }
}

}  // namespace lumen::sim
