#include "sim/FrameLog.h"

namespace lumen::sim {

bool Frame::Matches(std::string_view wanted) const {
  if (name == wanted) return true;
  constexpr size_t kPrefix = 8;  // "ble_cmd_"
  return name.size() > kPrefix && std::string_view(name).substr(kPrefix) == wanted;
}

std::optional<BgapiMessage> Frame::Decode() const {
  return DecodeBgapi(bytes.data(), bytes.size(), direction == Direction::kToRadio).message;
}

Bytes Frame::Payload() const {
  return bytes.size() <= kBgapiHeaderSize ? Bytes{} : Bytes(bytes.begin() + kBgapiHeaderSize, bytes.end());
}

void FrameLog::AppendReceived(Frame frame) {
  std::lock_guard lock(m_mutex);
  m_entries.push_back(Entry{std::move(frame), false});
  TrimLocked();
}

void FrameLog::MarkReceivedHandled() {
  {
    std::lock_guard lock(m_mutex);
    for (Entry& entry : m_entries) {
      if (!entry.visible) {
        entry.visible = true;
        break;
      }
    }
  }
  m_changed.notify_all();
}

void FrameLog::AppendSent(Frame frame) {
  {
    std::lock_guard lock(m_mutex);
    m_entries.push_back(Entry{std::move(frame), true});
    TrimLocked();
  }
  m_changed.notify_all();
}

void FrameLog::TrimLocked() {
  while (m_limit != 0 && m_entries.size() > m_limit) m_entries.pop_front();
}

std::vector<Frame> FrameLog::All() const { return Frames(std::nullopt); }
std::vector<Frame> FrameLog::Received() const { return Frames(Frame::Direction::kToRadio); }
std::vector<Frame> FrameLog::Sent() const { return Frames(Frame::Direction::kFromRadio); }

std::vector<Frame> FrameLog::Frames(std::optional<Frame::Direction> direction) const {
  std::lock_guard lock(m_mutex);
  std::vector<Frame> out;
  for (const Entry& entry : m_entries) {
    if (!direction || entry.frame.direction == *direction) out.push_back(entry.frame);
  }
  return out;
}

size_t FrameLog::Count(Frame::Direction direction, std::string_view name) const {
  std::lock_guard lock(m_mutex);
  size_t count = 0;
  for (const Entry& entry : m_entries) {
    if (entry.visible && entry.frame.direction == direction && entry.frame.Matches(name)) ++count;
  }
  return count;
}

std::optional<Frame> FrameLog::FindLocked(Frame::Direction direction, std::string_view name, size_t occurrence) const {
  size_t seen = 0;
  for (const Entry& entry : m_entries) {
    if (entry.visible && entry.frame.direction == direction && entry.frame.Matches(name) && ++seen == occurrence) {
      return entry.frame;
    }
  }
  return std::nullopt;
}

std::optional<Frame> FrameLog::WaitFor(Frame::Direction direction, std::string_view name, size_t occurrence,
                                       std::chrono::milliseconds timeout) const {
  if (occurrence == 0) occurrence = 1;
  std::unique_lock lock(m_mutex);
  std::optional<Frame> found;
  m_changed.wait_for(lock, timeout, [&] {
    found = FindLocked(direction, name, occurrence);
    return found.has_value();
  });
  return found;
}

void FrameLog::Clear() {
  std::lock_guard lock(m_mutex);
  m_entries.clear();
}

}  // namespace lumen::sim
