// The capture writer on its own: records from many threads, rotation.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CaptureTestSupport.h"
#include "core/CaptureTap.h"
#include "lumen/Capture.h"

namespace lumen::testing {
namespace {

using sim::CaptureRecord;

TEST(CaptureWriterTest, RecordsFromManyThreadsAreEachWrittenOnceInTimeOrderAcrossRotations) {
  CaptureDir dir;
  const std::string path = dir.File("threads.pcapng");
  constexpr int kThreads = 4;
  constexpr int kNotesEach = 300;
  StartCapture(path, 2048, 10000);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int n = 0; n < kNotesEach; ++n) {
        details::CaptureNote("thread " + std::to_string(t) + " note " + std::to_string(n));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  StopCapture();

  std::vector<std::string> files;
  for (int n = 10000; n >= 1; --n) {
    if (std::filesystem::exists(path + "." + std::to_string(n))) {
      files.push_back(path + "." + std::to_string(n));
    }
  }
  files.push_back(path);
  ASSERT_GT(files.size(), 10u);

  std::vector<CaptureRecord> records;
  for (const std::string& file : files) {
    EXPECT_LE(std::filesystem::file_size(file), 2048u);
    for (CaptureRecord& record : sim::ReadCaptureFile(file).records) {
      records.push_back(std::move(record));
    }
  }
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kNotesEach));
  std::set<std::string> texts;
  std::vector<int> next(kThreads, 0);
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].kind, CaptureRecord::kNote);
    texts.insert(records[i].Text());
    if (i != 0) {
      EXPECT_LE(records[i - 1].timeUs, records[i].timeUs);
    }
    // Each thread's notes in the order it wrote them.
    int thread = 0;
    int note = 0;
    ASSERT_EQ(std::sscanf(records[i].Text().c_str(), "thread %d note %d", &thread, &note), 2);
    EXPECT_EQ(note, next[thread]++);
  }
  EXPECT_EQ(texts.size(), records.size());
}

TEST(CaptureWriterTest, ANewCaptureReplacesTheRunningOne) {
  CaptureDir dir;
  StartCapture(dir.File("first.pcapng"));
  details::CaptureNote("one");
  StartCapture(dir.File("second.pcapng"));
  details::CaptureNote("two");
  StopCapture();
  const auto first = sim::ReadCaptureFile(dir.File("first.pcapng")).records;
  const auto second = sim::ReadCaptureFile(dir.File("second.pcapng")).records;
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].Text(), "one");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].Text(), "two");
}

}  // namespace
}  // namespace lumen::testing
