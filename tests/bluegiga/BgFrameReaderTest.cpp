// Cutting the radio's byte stream into frames, whatever the chunking, and
// finding the stream again after garbage without losing what follows it.
#include "bluegiga/BgFrameReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "support/Concat.h"

namespace lumen::details {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::Concat;

const Bytes kRadioError{0x80, 0x00, 0x07, 0x04};     // event, no payload
const Bytes kTxPowerAnswer{0x00, 0x00, 0x07, 0x0C};  // response, no payload
const Bytes kHelloAnswer{0x00, 0x00, 0x00, 0x01};    // response, no payload

// A scan response carrying `dataLen` advertisement bytes.
Bytes ScanResponse(size_t dataLen) {
  const size_t payload = 11 + dataLen;
  Bytes frame{static_cast<uint8_t>(0x80 | (payload >> 8)),
              static_cast<uint8_t>(payload & 0xFF),
              0x06,
              0x00,
              0xC4,
              0x00,
              1,
              2,
              3,
              4,
              5,
              6,
              0x00,
              0xFF,
              static_cast<uint8_t>(dataLen)};
  for (size_t i = 0; i < dataLen; ++i) {
    frame.push_back(static_cast<uint8_t>(i));
  }
  return frame;
}

class RecordingSink : public BgFrameReader::Sink {
 public:
  void OnFrame(const uint8_t* header, const uint8_t* payload, size_t length) override {
    Bytes frame(header, header + BgFrameReader::kHeaderBytes);
    if (payload != nullptr) {
      frame.insert(frame.end(), payload, payload + length);
    } else {
      EXPECT_EQ(length, 0U);
    }
    frames.push_back(frame);
  }
  void OnUnrecognisedHeader(const uint8_t* /*header*/) override { ++unrecognised; }
  void OnResynchronised(size_t droppedCount, const Bytes& dropped) override {
    resynchronised.push_back(droppedCount);
    lastDropped = dropped;
  }

  std::vector<Bytes> frames;
  int unrecognised = 0;
  std::vector<size_t> resynchronised;
  Bytes lastDropped;
};

// Plays the serial transport: exact reads of what the reader wants, and,
// after an implausible header, everything that has "arrived" so far.
void FeedLikeTheTransport(BgFrameReader& reader, RecordingSink& sink, const Bytes& stream) {
  size_t at = 0;
  while (at < stream.size() || reader.WantsAvailableInput()) {
    if (reader.WantsAvailableInput()) {
      reader.ConsumeAvailable(stream.data() + at, stream.size() - at, sink);
      at = stream.size();
      continue;
    }
    const size_t take = std::min(reader.BytesWanted(), stream.size() - at);
    reader.Consume(stream.data() + at, take, sink);
    at += take;
  }
}

TEST(BgFrameReaderTest, FramesComeOutWholeWhateverTheChunking) {
  const Bytes stream = Concat({kHelloAnswer, ScanResponse(20), kRadioError, ScanResponse(255)});
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{7}, stream.size()}) {
    BgFrameReader reader;
    RecordingSink sink;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      reader.Consume(stream.data() + at, std::min(chunk, stream.size() - at), sink);
    }
    ASSERT_EQ(sink.frames.size(), 4U) << "chunk " << chunk;
    EXPECT_EQ(sink.frames[0], kHelloAnswer);
    EXPECT_EQ(sink.frames[1], ScanResponse(20));
    EXPECT_EQ(sink.frames[2], kRadioError);
    EXPECT_EQ(sink.frames[3], ScanResponse(255));
    EXPECT_EQ(sink.unrecognised, 0);
  }
}

TEST(BgFrameReaderTest, ExactReadsAskForTheElevenBitPayloadLength) {
  BgFrameReader reader;
  RecordingSink sink;
  const Bytes frame = ScanResponse(255);  // payload 266: 0x81 0x0A
  EXPECT_EQ(reader.BytesWanted(), 4U);
  reader.Consume(frame.data(), 4, sink);
  EXPECT_EQ(reader.BytesWanted(), 266U);
}

TEST(BgFrameReaderTest, HeadersTheTableCannotHaveAreGarbage) {
  EXPECT_TRUE(BgFrameReader::IsPlausibleHeader(kRadioError.data()));
  EXPECT_TRUE(BgFrameReader::IsPlausibleHeader(ScanResponse(0).data()));
  EXPECT_TRUE(BgFrameReader::IsPlausibleHeader(ScanResponse(255).data()));
  const Bytes unknownClass{0x00, 0x00, 0x0A, 0x00};
  const Bytes radioErrorWithPayload{0x80, 0x01, 0x07, 0x04};
  const Bytes scanResponseTooShort{0x80, 0x0A, 0x06, 0x00};  // fixed part is 11
  const Bytes scanResponseTooLong{0x81, 0x0B, 0x06, 0x00};   // 11 + 256
  EXPECT_FALSE(BgFrameReader::IsPlausibleHeader(unknownClass.data()));
  EXPECT_FALSE(BgFrameReader::IsPlausibleHeader(radioErrorWithPayload.data()));
  EXPECT_FALSE(BgFrameReader::IsPlausibleHeader(scanResponseTooShort.data()));
  EXPECT_FALSE(BgFrameReader::IsPlausibleHeader(scanResponseTooLong.data()));
}

TEST(BgFrameReaderTest, FrameArrivingWithTheGarbageIsDelivered) {
  BgFrameReader reader;
  RecordingSink sink;
  FeedLikeTheTransport(reader, sink, Concat({{0xDE, 0xAD, 0xBE, 0xEF, 0x42}, kTxPowerAnswer, ScanResponse(3)}));
  ASSERT_EQ(sink.frames.size(), 2U);
  EXPECT_EQ(sink.frames[0], kTxPowerAnswer);
  EXPECT_EQ(sink.frames[1], ScanResponse(3));
  EXPECT_EQ(sink.unrecognised, 1);
  ASSERT_EQ(sink.resynchronised.size(), 1U);
  EXPECT_EQ(sink.resynchronised[0], 5U);
  EXPECT_EQ(sink.lastDropped, (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x42}));
}

TEST(BgFrameReaderTest, FrameStartingInsideTheUnrecognisedHeaderIsDelivered) {
  BgFrameReader reader;
  RecordingSink sink;
  FeedLikeTheTransport(reader, sink, Concat({{0xFF}, ScanResponse(8)}));
  ASSERT_EQ(sink.frames.size(), 1U);
  EXPECT_EQ(sink.frames[0], ScanResponse(8));
}

TEST(BgFrameReaderTest, FalseFrameStartInGarbageLosesToAWholeFrameBehindIt) {
  // 00 80 00 07 would be a 128-byte system response; the radio error that
  // follows is whole and wins.
  BgFrameReader reader;
  RecordingSink sink;
  FeedLikeTheTransport(reader, sink, Concat({{0x00, 0x00, 0x0A, 0x00}, kRadioError}));
  ASSERT_EQ(sink.frames.size(), 1U);
  EXPECT_EQ(sink.frames[0], kRadioError);
}

TEST(BgFrameReaderTest, GarbageArrivingAloneCostsNothingThatFollows) {
  // Nothing else has arrived: the garbage goes, and the next frame, byte by
  // byte, starts a fresh header instead of completing one begun in garbage.
  BgFrameReader reader;
  RecordingSink sink;
  const Bytes garbage{0x00, 0x00, 0x0A, 0x00};
  reader.Consume(garbage.data(), garbage.size(), sink);
  ASSERT_TRUE(reader.WantsAvailableInput());
  reader.ConsumeAvailable(nullptr, 0, sink);
  EXPECT_FALSE(reader.WantsAvailableInput());
  for (const uint8_t byte : kRadioError) {
    reader.Consume(&byte, 1, sink);
  }
  ASSERT_EQ(sink.frames.size(), 1U);
  EXPECT_EQ(sink.frames[0], kRadioError);
  EXPECT_EQ(sink.resynchronised, (std::vector<size_t>{4}));
}

TEST(BgFrameReaderTest, HeaderBegunInTheAvailableBytesIsKept) {
  // Garbage, then the first two bytes of a frame whose rest is still on the way.
  BgFrameReader reader;
  RecordingSink sink;
  const Bytes garbage{0xDE, 0xAD, 0xBE, 0xEF};
  reader.Consume(garbage.data(), garbage.size(), sink);
  reader.ConsumeAvailable(kRadioError.data(), 2, sink);
  reader.Consume(kRadioError.data() + 2, 2, sink);
  ASSERT_EQ(sink.frames.size(), 1U);
  EXPECT_EQ(sink.frames[0], kRadioError);
}

// Plays the transport as it reads now: whatever has arrived in one go, then,
// after an implausible header, whatever else is there without waiting.
TEST(BgFrameReaderTest, HeaderBegunInTheSameReadAsTheGarbageIsKept) {
  BgFrameReader reader;
  RecordingSink sink;
  const Bytes read = Concat({{0xDE, 0xAD, 0xBE, 0xEF}, Bytes(kRadioError.begin(), kRadioError.begin() + 2)});
  reader.Consume(read.data(), read.size(), sink);
  ASSERT_TRUE(reader.WantsAvailableInput());
  reader.ConsumeAvailable(nullptr, 0, sink);  // nothing more yet
  reader.Consume(kRadioError.data() + 2, 2, sink);
  ASSERT_EQ(sink.frames.size(), 1U);
  EXPECT_EQ(sink.frames[0], kRadioError);
}

TEST(BgFrameReaderTest, ManyFramesInOneReadComeOutInOrder) {
  Bytes stream;
  std::vector<Bytes> sent;
  for (uint8_t i = 0; i < 50; ++i) {
    sent.push_back(i % 5 == 0 ? kRadioError : ScanResponse(i));
    stream.insert(stream.end(), sent.back().begin(), sent.back().end());
  }
  // A read may also end inside a frame: the rest comes with the next one.
  for (const size_t split : {stream.size(), stream.size() / 2 + 1, size_t{6}}) {
    BgFrameReader reader;
    RecordingSink sink;
    reader.Consume(stream.data(), split, sink);
    reader.Consume(stream.data() + split, stream.size() - split, sink);
    EXPECT_EQ(sink.frames, sent) << "split " << split;
    EXPECT_EQ(sink.unrecognised, 0);
  }
}

TEST(BgFrameReaderTest, EndlessGarbageIsDroppedAndCounted) {
  BgFrameReader reader;
  RecordingSink sink;
  Bytes garbage(1000, 0xEE);
  FeedLikeTheTransport(reader, sink, Concat({garbage, kHelloAnswer}));
  ASSERT_EQ(sink.frames.size(), 1U);
  EXPECT_EQ(sink.unrecognised, 1);
  EXPECT_EQ(sink.resynchronised, (std::vector<size_t>{1000}));
  EXPECT_EQ(sink.lastDropped.size(), BgFrameReader::kDroppedBytesLogged);
}

// Frames and dropped bytes as the reader reports them, in one stream.
class ConservingSink : public RecordingSink {
 public:
  void OnFrame(const uint8_t* header, const uint8_t* payload, size_t length) override {
    out.insert(out.end(), header, header + BgFrameReader::kHeaderBytes);
    if (payload != nullptr) {
      out.insert(out.end(), payload, payload + length);
    }
  }
  void OnDropped(const uint8_t* bytes, size_t count) override { out.insert(out.end(), bytes, bytes + count); }

  Bytes out;
};

TEST(BgFrameReaderTest, EveryByteComesOutOnceInOrderAsFrameOrGarbage) {
  std::mt19937 random(20261209);
  const std::vector<Bytes> frames{kRadioError, kTxPowerAnswer, kHelloAnswer, ScanResponse(0), ScanResponse(31)};
  for (int round = 0; round < 300; ++round) {
    Bytes stream;
    for (int part = 0; part < 12; ++part) {
      if (random() % 3 == 0) {
        const size_t count = 1 + random() % 9;
        for (size_t i = 0; i < count; ++i) {
          stream.push_back(static_cast<uint8_t>(random()));
        }
      } else {
        const Bytes& frame = frames[random() % frames.size()];
        stream.insert(stream.end(), frame.begin(), frame.end());
      }
    }
    BgFrameReader reader;
    ConservingSink sink;
    size_t at = 0;
    while (at < stream.size()) {
      const size_t take = std::min<size_t>(1 + random() % 40, stream.size() - at);
      if (reader.WantsAvailableInput()) {
        reader.ConsumeAvailable(stream.data() + at, take, sink);
      } else {
        reader.Consume(stream.data() + at, take, sink);
      }
      at += take;
    }
    while (reader.WantsAvailableInput()) {
      reader.ConsumeAvailable(nullptr, 0, sink);
    }
    // What is not out yet is a frame still being read.
    ASSERT_LE(sink.out.size(), stream.size());
    ASSERT_TRUE(std::equal(sink.out.begin(), sink.out.end(), stream.begin())) << "round " << round;
    EXPECT_LT(stream.size() - sink.out.size(), BgFrameReader::kHeaderBytes + BgFrameReader::kMaxPayloadBytes);
  }
}

}  // namespace
}  // namespace lumen::details
