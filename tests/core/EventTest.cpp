#include "core/Event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "support/LogCapture.h"

namespace lumen::details {
namespace {

using testing::LogCapture;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kResetWarning[] = "Event wait terminates because of global reset";

// The reset flag is process-wide: every case leaves it lowered.
class EventTest : public ::testing::Test {
 protected:
  void SetUp() override { Event::SetGlobalReset(false); }
  void TearDown() override { Event::SetGlobalReset(false); }

  // A one-minute wait for `event` on another thread, started by the time this returns.
  static std::future<bool> WaitOnAnotherThread(Event& event) {
    auto waiting = std::make_shared<std::promise<void>>();  // the thread may still hold it after we return
    auto started = waiting->get_future();
    auto result = std::async(std::launch::async, [&event, waiting] {
      waiting->set_value();
      return event.WaitFor(60000);
    });
    started.wait();
    return result;
  }
};

TEST_F(EventTest, ZeroTimeoutReturnsFalseEvenWhenSignaled) {
  Event event;
  event.Set();
  EXPECT_FALSE(event.WaitFor(0));
  EXPECT_TRUE(event.WaitFor(1));
}

TEST_F(EventTest, SignaledEventReturnsTrueAndStaysSignaled) {
  Event event;
  event.Set();
  EXPECT_TRUE(event.WaitFor(10000));
  EXPECT_TRUE(event.WaitFor(10000));
  event.Reset();
  EXPECT_FALSE(event.WaitFor(1));
}

TEST_F(EventTest, UnsignaledWaitLastsTheTimeoutRoundedUpToWholeSlices) {
  Event event;
  const auto start = Clock::now();
  EXPECT_FALSE(event.WaitFor(250));
  EXPECT_GE(Clock::now() - start, 300ms);
}

TEST_F(EventTest, SetFromAnotherThreadWakesTheWaiter) {
  Event event;
  auto result = WaitOnAnotherThread(event);
  event.Set();
  ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
  EXPECT_TRUE(result.get());
}

TEST_F(EventTest, GlobalResetEndsTheWaitAtOnceWithAWarning) {
  const LogCapture capture;
  Event event;
  Event::SetGlobalReset(true);
  EXPECT_TRUE(Event::IsGlobalReset());
  const auto start = Clock::now();
  EXPECT_FALSE(event.WaitFor(10000));
  EXPECT_LT(Clock::now() - start, 5s);  // guard only: the wait must not run its course
  EXPECT_TRUE(capture.Has(Logger::WARNING, kResetWarning));
  EXPECT_TRUE(capture.Has(Logger::INFO, "Event::global_reset_ =  true"));
}

TEST_F(EventTest, GlobalResetWinsOverASignaledEvent) {
  Event event;
  event.Set();
  Event::SetGlobalReset(true);
  EXPECT_FALSE(event.WaitFor(10000));
}

TEST_F(EventTest, GlobalResetRaisedDuringAWaitEndsIt) {
  const LogCapture capture;
  Event event;
  auto result = WaitOnAnotherThread(event);
  Event::SetGlobalReset(true);
  ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
  EXPECT_FALSE(result.get());
  EXPECT_TRUE(capture.Has(Logger::WARNING, kResetWarning));
}

TEST_F(EventTest, EventIgnoringGlobalResetStillWaitsForItsSignal) {
  const LogCapture capture;
  Event event;
  event.SetIgnoreGlobalReset();
  Event::SetGlobalReset(true);
  EXPECT_FALSE(event.WaitFor(100));
  event.Set();
  EXPECT_TRUE(event.WaitFor(10000));
  EXPECT_FALSE(capture.Has(Logger::WARNING, kResetWarning));
}

TEST_F(EventTest, LoweringTheFlagIsLogged) {
  const LogCapture capture;
  Event::SetGlobalReset(true);
  Event::SetGlobalReset(false);
  EXPECT_FALSE(Event::IsGlobalReset());
  EXPECT_TRUE(capture.Has(Logger::INFO, "Event::global_reset_ =  false"));
}

}  // namespace
}  // namespace lumen::details
