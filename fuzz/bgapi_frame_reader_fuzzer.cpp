// Feeds arbitrary serial input to the BGAPI frame reader the way the serial
// transport does, and every frame it cuts out to the dispatcher.
//
// Input: byte 0 holds the count n (0 to 15) of script bytes that follow it;
// the rest is the serial stream. The script bytes, used in turn, decide how
// the stream arrives: how much each read hands over and how much the port
// holds when the reader asks for what is available. Without a script the
// transport reads exactly what is wanted and the port holds nothing.
//
// Whatever the reader delivers or drops must tile the stream in order:
// frames are exact copies of stream bytes, garbage runs are reported right
// before the frame that ends them, and nothing is invented or lost between.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bluegiga/BgDispatch.h"
#include "bluegiga/BgFrameReader.h"

namespace {

using lumen::details::BgFrameReader;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

class CheckingSink : public BgFrameReader::Sink {
 public:
  CheckingSink(const uint8_t* stream, size_t size) : m_stream(stream), m_size(size) {}

  // Stream bytes handed to the reader so far.
  size_t consumed = 0;

  void OnFrame(const uint8_t* header, const uint8_t* payload, size_t length) override {
    Check(BgFrameReader::IsPlausibleHeader(header));
    Check(length == BgFrameReader::PayloadLength(header));
    Check((payload == nullptr) == (length == 0));
    const size_t frameBytes = BgFrameReader::kHeaderBytes + length;
    Check(m_position + frameBytes <= consumed);
    Check(std::memcmp(header, m_stream + m_position, BgFrameReader::kHeaderBytes) == 0);
    Check(length == 0 || std::memcmp(payload, m_stream + m_position + BgFrameReader::kHeaderBytes, length) == 0);
    m_position += frameBytes;
    m_unrecognisedSinceFrame = false;
    m_frameDue = false;

    // An exact-size copy: the reader's buffer may have spare capacity, which
    // would hide a dispatcher reading past the payload.
    std::unique_ptr<uint8_t[]> copy;
    if (length != 0) {
      copy = std::make_unique<uint8_t[]>(length);
      std::memcpy(copy.get(), payload, length);
    }
    uint8_t headerCopy[BgFrameReader::kHeaderBytes];
    std::memcpy(headerCopy, header, sizeof headerCopy);
    lumen::details::BgDispatch(headerCopy, copy.get(), length);
  }

  void OnUnrecognisedHeader(const uint8_t* header) override {
    // Only the first since the last frame, and it starts where that ended.
    Check(!m_unrecognisedSinceFrame && !m_frameDue);
    m_unrecognisedSinceFrame = true;
    Check(!BgFrameReader::IsPlausibleHeader(header));
    Check(m_position + BgFrameReader::kHeaderBytes <= consumed);
    Check(std::memcmp(header, m_stream + m_position, BgFrameReader::kHeaderBytes) == 0);
  }

  void OnResynchronised(size_t droppedCount, const std::vector<uint8_t>& dropped) override {
    Check(droppedCount != 0);
    Check(m_unrecognisedSinceFrame && !m_frameDue);
    Check(m_position + droppedCount <= consumed);
    Check(dropped.size() == std::min(droppedCount, BgFrameReader::kDroppedBytesLogged));
    Check(std::equal(dropped.begin(), dropped.end(), m_stream + m_position));
    m_position += droppedCount;
    // The frame that ends the run comes next, before any other report.
    m_frameDue = true;
  }

  // Everything reported lies within what was consumed.
  void CheckAccounting() const { Check(m_position <= consumed && consumed <= m_size); }

 private:
  const uint8_t* m_stream;
  size_t m_size;
  size_t m_position = 0;  // stream bytes delivered or dropped so far
  bool m_frameDue = false;
  bool m_unrecognisedSinceFrame = false;
};

class Script {
 public:
  Script(const uint8_t* bytes, size_t count) : m_bytes(bytes), m_count(count) {}
  bool Empty() const { return m_count == 0; }
  uint8_t Next() {
    const uint8_t byte = m_bytes[m_next];
    m_next = (m_next + 1) % m_count;
    return byte;
  }

 private:
  const uint8_t* m_bytes;
  size_t m_count;
  size_t m_next = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const size_t scriptBytes = std::min<size_t>(data[0] & 0x0F, size - 1);
  Script script(data + 1, scriptBytes);
  const uint8_t* stream = data + 1 + scriptBytes;
  const size_t streamSize = size - 1 - scriptBytes;

  BgFrameReader reader;
  CheckingSink sink(stream, streamSize);
  size_t& offset = sink.consumed;
  const auto feed = [&](size_t count, bool available) {
    // Each read in a buffer of exactly its size, as ASan then sees overreads.
    std::unique_ptr<uint8_t[]> chunk;
    if (count != 0) {
      chunk = std::make_unique<uint8_t[]>(count);
      std::memcpy(chunk.get(), stream + offset, count);
    }
    offset += count;
    if (available) {
      reader.ConsumeAvailable(chunk.get(), count, sink);
    } else {
      reader.Consume(chunk.get(), count, sink);
    }
    sink.CheckAccounting();
  };

  // Every step consumes a byte or shrinks what the reader holds back, so this
  // ends.
  while (true) {
    const size_t remaining = streamSize - offset;
    if (reader.WantsAvailableInput()) {
      // What the port holds right now: nothing, some, or all that is left.
      size_t available = 0;
      if (!script.Empty()) {
        const uint8_t control = script.Next();
        available = control == 0xFF ? remaining : std::min<size_t>(control & 0x3F, remaining);
      }
      feed(available, true);
      continue;
    }
    const size_t wanted = reader.BytesWanted();
    Check(wanted >= 1 && wanted <= BgFrameReader::kMaxPayloadBytes);
    if (remaining == 0) {
      break;
    }
    size_t count = std::min(wanted, remaining);
    if (!script.Empty()) {
      // Bit 7 set: a read of any size instead of exactly what is wanted.
      const uint8_t control = script.Next();
      if ((control & 0x80) != 0) {
        count = std::min<size_t>(control & 0x7F, remaining);
      }
    }
    if (count == 0) {
      // An empty read hands over nothing and changes nothing.
      feed(0, false);
      Check(reader.BytesWanted() == wanted);
      count = 1;
    }
    feed(count, false);
  }
  return 0;
}
