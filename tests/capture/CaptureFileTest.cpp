#include <gtest/gtest.h>

#include "sim/CaptureFile.h"

namespace lumen::sim {
namespace {

Capture TwoRecords() {
  Capture capture;
  capture.interfaceName = "/dev/ttyACM0";
  CaptureRecord command;
  command.timeUs = 0x123456789ABCull;
  command.direction = CaptureRecord::kOutbound;
  command.kind = CaptureRecord::kBgapiToRadio;
  command.body = {0x00, 0x00, 0x00, 0x01};
  CaptureRecord note;
  note.timeUs = 0x123456789ABDull;
  note.kind = CaptureRecord::kNote;
  note.body = {'h', 'i', '!'};  // 4 bytes with the kind: no padding; odd sizes are covered by the command
  capture.records = {command, note};
  return capture;
}

TEST(CaptureFileTest, WrittenCaptureReadsBackRecordForRecord) {
  const Capture read = ParseCapture(SerializeCapture(TwoRecords()));
  EXPECT_EQ(read.interfaceName, "/dev/ttyACM0");
  ASSERT_EQ(read.records.size(), 2u);
  EXPECT_EQ(read.records[0].timeUs, 0x123456789ABCull);
  EXPECT_EQ(read.records[0].direction, CaptureRecord::kOutbound);
  EXPECT_EQ(read.records[0].kind, CaptureRecord::kBgapiToRadio);
  EXPECT_EQ(read.records[0].body, (Bytes{0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(read.records[1].Text(), "hi!");
  EXPECT_EQ(read.records[1].direction, CaptureRecord::kNoDirection);
}

TEST(CaptureFileTest, RotatedFilesConcatenatedReadAsOneCapture) {
  Bytes both = SerializeCapture(TwoRecords());
  const Bytes second = SerializeCapture(TwoRecords());
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(ParseCapture(both).records.size(), 4u);
}

TEST(CaptureFileTest, DamagedFilesAreRefusedWithTheOffset) {
  const Bytes good = SerializeCapture(TwoRecords());
  // Cut inside the last block.
  EXPECT_THROW(ParseCapture(Bytes(good.begin(), good.end() - 3)), CaptureFormatError);
  // Not a capture at all.
  EXPECT_THROW(ParseCapture(Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!'}), CaptureFormatError);
  EXPECT_THROW(ParseCapture(Bytes{}), CaptureFormatError);
  // A packet block claiming more data than it holds.
  Bytes overlong = good;
  const size_t lastBlock = good.size() - ReadLe32(good.data() + good.size() - 4);
  overlong[lastBlock + 8 + 12] = 0xF0;
  try {
    ParseCapture(overlong);
    FAIL() << "an overlong packet was read";
  } catch (const CaptureFormatError& e) {
    EXPECT_NE(std::string(e.what()).find(std::to_string(lastBlock)), std::string::npos) << e.what();
  }
}

TEST(CaptureFileTest, OtherLinkTypesAreNotLumenCaptures) {
  Bytes file = SerializeCapture(TwoRecords());
  const size_t interfaceBlock = ReadLe32(file.data() + 4);
  file[interfaceBlock + 8] = 1;  // Ethernet
  EXPECT_THROW(ParseCapture(file), CaptureFormatError);
}

TEST(CaptureFileTest, NanosecondTimestampsAreReadAsMicroseconds) {
  Bytes file = SerializeCapture(TwoRecords());
  const size_t interfaceBlock = ReadLe32(file.data() + 4);
  // if_tsresol follows the 8 fixed bytes and the padded 12-byte if_name option.
  const size_t tsresolValue = interfaceBlock + 8 + 8 + 4 + 12 + 4;
  ASSERT_EQ(file[tsresolValue], 6);
  file[tsresolValue] = 9;
  EXPECT_EQ(ParseCapture(file).records[0].timeUs, 0x123456789ABCull / 1000);
}

}  // namespace
}  // namespace lumen::sim
