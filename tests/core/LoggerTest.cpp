#include "lumen/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <future>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/Log.h"
#include "support/Latch.h"
#include "support/LogCapture.h"

namespace lumen {
namespace {

using testing::Latch;
using testing::LogCapture;

// Counts how often it is formatted.
struct Counted {
  static inline std::atomic<int> formatted{0};
};
std::ostream& operator<<(std::ostream& out, const Counted&) {
  ++Counted::formatted;
  return out << "counted";
}

// A piece whose formatting fails the stream.
struct Failing {};
std::ostream& operator<<(std::ostream& out, const Failing&) {
  out.setstate(std::ios_base::failbit);
  return out;
}

class NoCallback {
 public:
  NoCallback() : m_previous(Logger::callback_.load()) { Logger::SetLogCallback(nullptr); }
  ~NoCallback() { Logger::SetLogCallback(m_previous); }

 private:
  Logger::Callback m_previous;
};

TEST(LoggerTest, NothingIsFormattedWithoutACallback) {
  const NoCallback off;
  Counted::formatted = 0;
  EXPECT_FALSE(Logger::IsEnabled());
  Logger::Log(Logger::ERROR, "text", Counted{}, 42);
  details::Log(details::kDebug, Counted{});
  EXPECT_EQ(Counted::formatted.load(), 0);
}

TEST(LoggerTest, EachPieceIsFormattedOnceWithACallback) {
  const LogCapture capture;
  Counted::formatted = 0;
  EXPECT_TRUE(Logger::IsEnabled());
  Logger::Log(Logger::INFO, Counted{});
  EXPECT_EQ(Counted::formatted.load(), 1);
  EXPECT_TRUE(capture.Has(Logger::INFO, "counted"));
}

TEST(LoggerTest, PiecesAreJoinedWithExactlyOneSpace) {
  const LogCapture capture;
  Logger::Log(Logger::WARNING, "lumen::Scanner::Impl::StopLeScan", 12, std::string("done"), -3);
  Logger::Log(Logger::DEBUG, "Nordic IsScanning = ", true);
  Logger::Log(Logger::INFO, "single");
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].type, Logger::WARNING);
  EXPECT_EQ(lines[0].text, "lumen::Scanner::Impl::StopLeScan 12 done -3");
  // A piece that ends in a space is not trimmed.
  EXPECT_EQ(lines[1].text, "Nordic IsScanning =  1");
  EXPECT_EQ(lines[1].type, Logger::DEBUG);
  EXPECT_EQ(lines[2].text, "single");
}

TEST(LoggerTest, ByteSizedIntegersPrintAsNumbersNotCharacters) {
  const LogCapture capture;
  Logger::Log(Logger::INFO, "rssi", int8_t{-70}, "power", uint8_t{200}, uint8_t{0});
  Logger::Log(Logger::INFO, uint16_t{65535}, int64_t{-9000000000}, uint32_t{4000000000u});
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "rssi -70 power 200 0");
  EXPECT_EQ(lines[1].text, "65535 -9000000000 4000000000");
}

TEST(LoggerTest, StreamFailureIsReportedInsteadOfTheLine) {
  const LogCapture capture;
  Logger::Log(Logger::INFO, "before", Failing{}, "after");
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].type, Logger::ERROR);
  EXPECT_EQ(lines[0].text.rfind("Logger::Log failed to trace: ", 0), 0u) << lines[0].text;
}

TEST(LoggerTest, NullCStringPieceDoesNotCrash) {
  const LogCapture capture;
  const char* missing = nullptr;
  Logger::Log(Logger::INFO, "name", missing);
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].type, Logger::ERROR);
}

TEST(LoggerTest, LevelNames) {
  EXPECT_STREQ(Logger::LogTypeToString(Logger::DEBUG), "DEBUG");
  EXPECT_STREQ(Logger::LogTypeToString(Logger::INFO), "INFO");
  EXPECT_STREQ(Logger::LogTypeToString(Logger::WARNING), "WARNING");
  EXPECT_STREQ(Logger::LogTypeToString(Logger::ERROR), "ERROR");
  EXPECT_STREQ(Logger::LogTypeToString(static_cast<Logger::LogType>(7)), "Unknown");
  EXPECT_STREQ(Logger::LogTypeToString(static_cast<Logger::LogType>(-1)), "Unknown");
}

TEST(LoggerTest, ManyThreadsLogWhileTheCallbackIsSwitchedOnAndOff) {
  const LogCapture capture;
  const Logger::Callback recording = Logger::callback_.load();
  constexpr int kThreads = 4;
  constexpr int kLinesPerPhase = 200;
  // Lines 0-199 are logged with the callback off, 200-399 while it is
  // switched, 400-599 once it is back on.
  Logger::SetLogCallback(nullptr);
  Latch loggedWhileOff(kThreads);
  std::promise<void> switchedBack;
  const std::shared_future<void> recordingAgain = switchedBack.get_future().share();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &loggedWhileOff, recordingAgain] {
      int i = 0;
      for (; i < kLinesPerPhase; ++i) {
        Logger::Log(Logger::DEBUG, "thread", t, "line", i);
      }
      loggedWhileOff.CountDown();
      for (; i < 2 * kLinesPerPhase; ++i) {
        Logger::Log(Logger::DEBUG, "thread", t, "line", i);
      }
      recordingAgain.wait();
      for (; i < 3 * kLinesPerPhase; ++i) {
        Logger::Log(Logger::DEBUG, "thread", t, "line", i);
      }
    });
  }
  loggedWhileOff.Wait();
  for (int i = 0; i < 100; ++i) {
    Logger::SetLogCallback(i % 2 == 0 ? recording : nullptr);
  }
  Logger::SetLogCallback(recording);
  switchedBack.set_value();
  for (auto& thread : threads) {
    thread.join();
  }

  // Whole lines only, none twice, none from while the callback was off, and
  // every one from after it came back.
  std::set<std::pair<int, int>> seen;
  int afterSwitching = 0;
  for (const auto& line : capture.Lines()) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(line.text.c_str(), "thread %d line %d", &t, &i), 2) << line.text;
    ASSERT_EQ(line.text, "thread " + std::to_string(t) + " line " + std::to_string(i));
    EXPECT_EQ(line.type, Logger::DEBUG);
    EXPECT_TRUE(t >= 0 && t < kThreads && i >= kLinesPerPhase && i < 3 * kLinesPerPhase) << line.text;
    EXPECT_TRUE(seen.emplace(t, i).second) << "twice: " << line.text;
    afterSwitching += i >= 2 * kLinesPerPhase ? 1 : 0;
  }
  EXPECT_EQ(afterSwitching, kThreads * kLinesPerPhase);
}

}  // namespace
}  // namespace lumen
