#include "core/CallbacksManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/any.hpp>
#include <climits>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/Threads.h"

namespace lumen::details {
namespace {

using testing::LogCapture;

// Most cases use a private bus so ids and names start from a known state.
class CallbacksManagerTest : public ::testing::Test {
 protected:
  template <class Payload>
  int Sub(const char* name, std::function<void(Payload)> handler) {
    int id = 0;
    m_bus.Subscribe<Payload>(name, std::move(handler), &id);
    return id;
  }

  CallbacksManager m_bus;
};

TEST_F(CallbacksManagerTest, IdsStartAtOneAndAreUniqueAcrossNames) {
  EXPECT_EQ(Sub<int>("a", [](int) {}), 1);
  EXPECT_EQ(Sub<int>("b", [](int) {}), 2);
  EXPECT_EQ(Sub<int>("a", [](int) {}), 3);
}

TEST_F(CallbacksManagerTest, HandlersRunInSubscriptionOrder) {
  std::vector<int> calls;
  Sub<int>("evt", [&](int v) { calls.push_back(10 + v); });
  Sub<int>("other", [&](int) { calls.push_back(-1); });
  Sub<int>("evt", [&](int v) { calls.push_back(20 + v); });
  Sub<int>("evt", [&](int v) { calls.push_back(30 + v); });
  m_bus.Publish<int>("evt", 1);
  EXPECT_EQ(calls, (std::vector<int>{11, 21, 31}));
}

TEST_F(CallbacksManagerTest, HandlersKeepSubscriptionOrderAcrossIdWrapAround) {
  std::vector<int> calls;
  m_bus.SetLastIdForTesting(INT_MAX - 1);
  const int first = Sub<int>("evt", [&](int) { calls.push_back(1); });
  const int second = Sub<int>("evt", [&](int) { calls.push_back(2); });
  EXPECT_EQ(first, INT_MAX);
  EXPECT_EQ(second, 1);
  m_bus.Publish<int>("evt", 0);
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));
}

TEST_F(CallbacksManagerTest, IdWrapsToOneAfterIntMax) {
  m_bus.SetLastIdForTesting(INT_MAX - 1);
  EXPECT_EQ(Sub<int>("a", [](int) {}), INT_MAX);
  EXPECT_EQ(Sub<int>("a", [](int) {}), 1);
  EXPECT_EQ(Sub<int>("a", [](int) {}), 2);
}

TEST_F(CallbacksManagerTest, WrappedIdNeverCollidesWithALiveSubscription) {
  std::vector<std::string> calls;
  const int one = Sub<int>("keep", [&](int) { calls.push_back("one"); });
  const int two = Sub<int>("keep", [&](int) { calls.push_back("two"); });
  ASSERT_EQ(one, 1);
  ASSERT_EQ(two, 2);
  m_bus.SetLastIdForTesting(INT_MAX);
  const int wrapped = Sub<int>("new", [&](int) { calls.push_back("new"); });
  EXPECT_EQ(wrapped, 3);

  // Both old subscriptions are intact and still reachable by their ids.
  m_bus.Publish<int>("keep", 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(m_bus.Unsubscribe(one));
  EXPECT_TRUE(m_bus.Unsubscribe(two));
  EXPECT_TRUE(m_bus.Unsubscribe(wrapped));

  // A freed id is issued again once the counter comes round.
  m_bus.SetLastIdForTesting(INT_MAX);
  EXPECT_EQ(Sub<int>("again", [](int) {}), 1);
}

TEST_F(CallbacksManagerTest, UnsubscribeOfInvalidOrUnknownIdsFails) {
  EXPECT_FALSE(m_bus.Unsubscribe(0));
  EXPECT_FALSE(m_bus.Unsubscribe(-5));
  EXPECT_FALSE(m_bus.Unsubscribe(INT_MIN));
  EXPECT_FALSE(m_bus.Unsubscribe(42));
  const int id = Sub<int>("evt", [](int) {});
  EXPECT_TRUE(m_bus.Unsubscribe(id));
  EXPECT_FALSE(m_bus.Unsubscribe(id));
}

TEST_F(CallbacksManagerTest, UnsubscribeRemovesOnlyThatHandler) {
  std::vector<int> calls;
  const int first = Sub<int>("evt", [&](int) { calls.push_back(1); });
  Sub<int>("evt", [&](int) { calls.push_back(2); });
  EXPECT_TRUE(m_bus.Unsubscribe(first));
  m_bus.Publish<int>("evt", 0);
  EXPECT_EQ(calls, (std::vector<int>{2}));
}

TEST_F(CallbacksManagerTest, PublishWithoutSubscriberLogsUnhandledCallback) {
  const LogCapture capture;
  m_bus.Publish<const void*>("ble_evt_system_boot", nullptr);
  EXPECT_TRUE(capture.Has(Logger::DEBUG, "Process callback ble_evt_system_boot"));
  EXPECT_TRUE(capture.Has(Logger::WARNING, "Unhandled callback ble_evt_system_boot"));
}

TEST_F(CallbacksManagerTest, LastUnsubscribeOfANameMakesItUnhandledAgain) {
  const LogCapture capture;
  const int id = Sub<int>("evt", [](int) {});
  m_bus.Publish<int>("evt", 0);
  EXPECT_FALSE(capture.Has(Logger::WARNING, "Unhandled callback evt"));
  ASSERT_TRUE(m_bus.Unsubscribe(id));
  m_bus.Publish<int>("evt", 0);
  EXPECT_TRUE(capture.Has(Logger::WARNING, "Unhandled callback evt"));
}

TEST_F(CallbacksManagerTest, WrongPayloadTypeThrowsBadAnyCastAndReleasesTheBus) {
  Sub<unsigned int>("common_evt_disconnect", [](unsigned int) {});
  EXPECT_THROW(m_bus.Publish<int>("common_evt_disconnect", 5), boost::bad_any_cast);
  try {
    m_bus.Publish<const void*>("common_evt_disconnect", nullptr);
    ADD_FAILURE() << "a pointer payload reached an unsigned int subscriber";
  } catch (const boost::bad_any_cast& e) {
    EXPECT_STREQ(e.what(), "boost::bad_any_cast: failed conversion using boost::any_cast");
  }
  // The mutex was released on the way out.
  unsigned int got = 0;
  Sub<unsigned int>("other", [&](unsigned int v) { got = v; });
  m_bus.Publish<unsigned int>("other", 7u);
  EXPECT_EQ(got, 7u);
}

TEST_F(CallbacksManagerTest, ThrowingHandlerSkipsTheRestAndReleasesTheBus) {
  std::vector<int> calls;
  Sub<int>("evt", [&](int) { calls.push_back(1); });
  Sub<int>("evt", [](int) { throw std::runtime_error("handler failed"); });
  Sub<int>("evt", [&](int) { calls.push_back(3); });
  EXPECT_THROW(m_bus.Publish<int>("evt", 0), std::runtime_error);
  EXPECT_EQ(calls, (std::vector<int>{1}));
  EXPECT_EQ(Sub<int>("later", [](int) {}), 4);
}

TEST_F(CallbacksManagerTest, EmptyHandlerThrowsBadFunctionCall) {
  Sub<int>("evt", std::function<void(int)>());
  EXPECT_THROW(m_bus.Publish<int>("evt", 0), std::bad_function_call);
}

TEST_F(CallbacksManagerTest, PointerPayloadReachesTheHandler) {
  struct Record {
    int value;
  };
  const Record record{99};
  const Record* seen = nullptr;
  Sub<const Record*>("ble_evt_connection_status", [&](const Record* r) { seen = r; });
  m_bus.Publish<const Record*>("ble_evt_connection_status", &record);
  EXPECT_EQ(seen, &record);
}

TEST_F(CallbacksManagerTest, ConcurrentSubscribePublishUnsubscribeKeepsIdsUnique) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::atomic<int> delivered{0};
  std::vector<std::vector<int>> ids(kThreads);
  testing::OnThreads(kThreads, [&](int t) {
    const std::string name = "evt" + std::to_string(t % 2);
    for (int i = 0; i < kRounds; ++i) {
      int id = 0;
      m_bus.Subscribe<int>(
          name.c_str(), [&](int) { ++delivered; }, &id);
      ids[t].push_back(id);
      m_bus.Publish<int>(name.c_str(), i);
      if (i % 2 == 0) {
        EXPECT_TRUE(m_bus.Unsubscribe(id));
      }
    }
  });
  EXPECT_EQ(testing::DistinctCount(ids), static_cast<size_t>(kThreads * kRounds));
  EXPECT_GE(delivered.load(), kThreads * kRounds);
}

// The process-wide bus as the backends use it.
TEST(GlobalCallbacksManagerTest, DisconnectHandlerReceivesTheNativeHandle) {
  unsigned int got = 0;
  int id = 0;
  Subscribe<unsigned int>(
      "test_evt_global_disconnect", [&](unsigned int native) { got = native; }, &id);
  ASSERT_GT(id, 0);
  Publish<unsigned int>("test_evt_global_disconnect", 0xBEEFu);
  EXPECT_EQ(got, 0xBEEFu);
  EXPECT_TRUE(Unsubscribe(id));
  EXPECT_FALSE(Unsubscribe(id));
  EXPECT_EQ(&GetCallbacksManager(), &GetCallbacksManager());
}

}  // namespace
}  // namespace lumen::details
