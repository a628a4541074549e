#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumen::details {

// Cuts the radio's byte stream into BGAPI frames. The transport hands over
// whatever it has read, in any amount, to Consume(); frames come out through
// the sink, several per call when several have arrived. BytesWanted() says
// how many bytes complete the header or payload being read.
//
// After a header that no message of the table could have, nothing unread is
// thrown away blindly: the transport hands over whatever the port holds right
// now (ConsumeAvailable, possibly nothing), and the reader looks through
// those bytes for the next plausible frame. Bytes before it are dropped as
// garbage; when none is there, everything read so far is garbage and the
// next byte to arrive starts a header. So a valid frame that came right
// behind a glitch is still delivered, and garbage that arrives alone costs
// nothing that follows it.
class BgFrameReader {
 public:
  static constexpr size_t kHeaderBytes = 4;
  static constexpr size_t kMaxPayloadBytes = 0x7FF;  // 11 length bits
  // Dropped bytes kept for the log line.
  static constexpr size_t kDroppedBytesLogged = 32;

  class Sink {
   public:
    virtual ~Sink() = default;
    // payload is null when length is 0.
    virtual void OnFrame(const uint8_t* header, const uint8_t* payload, size_t length) = 0;
    // The first implausible header since the last frame.
    virtual void OnUnrecognisedHeader(const uint8_t* header) = 0;
    // A frame was found again after `droppedCount` garbage bytes; `dropped`
    // holds the first of them.
    virtual void OnResynchronised(size_t droppedCount, const std::vector<uint8_t>& dropped) = 0;
    // Every byte thrown away, in order, each once, as it is thrown away.
    virtual void OnDropped(const uint8_t* /*bytes*/, size_t /*count*/) {}
  };

  // How many bytes complete the header or payload being read.
  size_t BytesWanted() const;
  // Bytes as they arrive; any amount.
  void Consume(const uint8_t* data, size_t count, Sink& sink);
  // True after an implausible header: the transport must call
  // ConsumeAvailable with what it can read without waiting.
  bool WantsAvailableInput() const { return m_resyncPending; }
  void ConsumeAvailable(const uint8_t* data, size_t count, Sink& sink);

  // Payload length of a header: all 11 bits.
  static size_t PayloadLength(const uint8_t* header) {
    return (static_cast<size_t>(header[0] & 0x07) << 8) | header[1];
  }
  // True when some response or event of the table has this header and its
  // layout can take this payload length.
  static bool IsPlausibleHeader(const uint8_t* header);

 private:
  void HeaderComplete(Sink& sink);
  void Resynchronise(Sink& sink);
  void Drop(const uint8_t* bytes, size_t count, Sink& sink);

  uint8_t m_header[kHeaderBytes] = {};
  size_t m_headerFill = 0;
  bool m_readingPayload = false;
  std::vector<uint8_t> m_payload;
  size_t m_payloadFill = 0;

  // Garbage run: suspect bytes after an implausible header, waiting for the
  // transport's available input.
  bool m_resyncPending = false;
  std::vector<uint8_t> m_suspect;
  // Bytes consumed after the implausible header, before the transport's
  // available input: they are part of it.
  std::vector<uint8_t> m_arrived;
  size_t m_droppedCount = 0;
  std::vector<uint8_t> m_dropped;
};

}  // namespace lumen::details
