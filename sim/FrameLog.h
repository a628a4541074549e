#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/BgapiCodec.h"
#include "sim/Bytes.h"

namespace lumen::sim {

// One message (or run of stray bytes) that crossed the virtual serial line.
struct Frame {
  enum class Direction { kToRadio, kFromRadio };

  Direction direction = Direction::kToRadio;
  std::chrono::microseconds simTime{0};
  Bytes bytes;       // header and payload as on the line
  std::string name;  // "ble_cmd_gap_discover", "ble_rsp_…", "ble_evt_…"; "" for bytes that are no message

  // True for the full name or the name without its "ble_xxx_" prefix.
  bool Matches(std::string_view wanted) const;
  std::optional<BgapiMessage> Decode() const;
  Bytes Payload() const;
};

// Thread-safe record of the line. A received command counts as seen by the
// waits only once the radio has finished handling it, so a test that waits for
// a command may rely on its effects.
class FrameLog {
 public:
  explicit FrameLog(size_t limit = 0) : m_limit(limit) {}  // 0: unlimited; else keeps the newest `limit`

  void AppendReceived(Frame frame);  // not yet handled
  void MarkReceivedHandled();        // the oldest unhandled received frame is done
  void AppendSent(Frame frame);

  std::vector<Frame> All() const;
  std::vector<Frame> Received() const;  // handled or not
  std::vector<Frame> Sent() const;
  size_t Count(Frame::Direction direction, std::string_view name) const;
  // The occurrence-th (1-based) frame of that name and direction, waiting up to `timeout` for it.
  std::optional<Frame> WaitFor(Frame::Direction direction, std::string_view name, size_t occurrence,
                               std::chrono::milliseconds timeout) const;
  void Clear();

 private:
  struct Entry {
    Frame frame;
    bool visible;
  };
  // Every frame, or those of one direction.
  std::vector<Frame> Frames(std::optional<Frame::Direction> direction) const;
  std::optional<Frame> FindLocked(Frame::Direction direction, std::string_view name, size_t occurrence) const;
  void TrimLocked();

  const size_t m_limit;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::deque<Entry> m_entries;
};

}  // namespace lumen::sim
