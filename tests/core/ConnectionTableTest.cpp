#include "core/ConnectionTable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/CallbacksManager.h"
#include "lumen/DeviceConnectionHandle.h"
#include "lumen/Errors.h"
#include "support/LogCapture.h"
#include "support/Threads.h"

namespace lumen::details {
namespace {

using testing::LogCapture;

// The table is process-wide: every case starts and ends with it empty.
class ConnectionTableTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearAllConnections(); }
  void TearDown() override { ClearAllConnections(); }

  static std::string ErrorText(const std::function<void()>& action, int* code = nullptr) {
    try {
      action();
    } catch (const KesBluetoothSDKLibError& e) {
      if (code != nullptr) {
        *code = e.code();
      }
      return e.what();
    }
    return "<no error>";
  }
};

TEST_F(ConnectionTableTest, HandlesAreNumberedConsecutivelyAndStartUnconnected) {
  const DeviceConnectionHandle first;
  const DeviceConnectionHandle second;
  EXPECT_GE(first.id(), 1);
  EXPECT_EQ(second.id(), first.id() + 1);
  EXPECT_FALSE(first.IsConnected());
  EXPECT_FALSE(second.IsConnected());
  EXPECT_FALSE(AnyConnectionOpen());
}

TEST_F(ConnectionTableTest, LookupOfUnconnectedHandleThrowsWithSignedId) {
  const DeviceConnectionHandle handle;
  int code = 0;
  EXPECT_EQ(ErrorText([&] { GetNativeHandle(handle); }, &code),
            "handle(+" + std::to_string(handle.id()) + ") not connected");
  EXPECT_EQ(code, kErrorGeneral);
}

TEST_F(ConnectionTableTest, ConnectBindsTheNativeHandle) {
  DeviceConnectionHandle handle;
  handle.Connect(5);
  EXPECT_TRUE(handle.IsConnected());
  EXPECT_EQ(GetNativeHandle(handle), 5u);
  EXPECT_TRUE(AnyConnectionOpen());
  const DeviceConnectionHandle copy = handle;  // a copy names the same connection
  EXPECT_TRUE(copy.IsConnected());
  EXPECT_TRUE(copy == handle);
}

TEST_F(ConnectionTableTest, NativeHandleInUseIsRejectedAndTableUnchanged) {
  DeviceConnectionHandle first;
  DeviceConnectionHandle second;
  first.Connect(5);
  int code = 0;
  EXPECT_EQ(ErrorText([&] { second.Connect(5); }, &code),
            "Native connection handle (Bluegiga or Nordic) is already in use");
  EXPECT_EQ(code, kErrorGeneral);
  EXPECT_FALSE(second.IsConnected());
  EXPECT_EQ(GetNativeHandle(first), 5u);
}

TEST_F(ConnectionTableTest, SecondConnectOfOneHandleIsRejected) {
  DeviceConnectionHandle handle;
  handle.Connect(5);
  EXPECT_EQ(ErrorText([&] { handle.Connect(6); }), "Device connection handle already has an open connection");
  EXPECT_EQ(GetNativeHandle(handle), 5u);
}

TEST_F(ConnectionTableTest, DisconnectEventForgetsTheConnection) {
  const LogCapture capture;
  DeviceConnectionHandle first;
  DeviceConnectionHandle second;
  first.Connect(5);
  second.Connect(7);

  Publish<unsigned int>("common_evt_disconnect", 9u);  // unknown: nothing changes
  EXPECT_TRUE(first.IsConnected());
  EXPECT_TRUE(second.IsConnected());

  Publish<unsigned int>("common_evt_disconnect", 5u);
  EXPECT_FALSE(first.IsConnected());
  EXPECT_TRUE(second.IsConnected());
  EXPECT_FALSE(capture.Has(Logger::WARNING, "Unhandled callback common_evt_disconnect"));

  // The native handle is free again and the identifier may reconnect.
  first.Connect(5);
  EXPECT_EQ(GetNativeHandle(first), 5u);
}

TEST_F(ConnectionTableTest, RemoveConnectionIsHarmlessWhenNotConnected) {
  DeviceConnectionHandle handle;
  RemoveConnection(handle);
  handle.Connect(3);
  RemoveConnection(handle);
  EXPECT_FALSE(handle.IsConnected());
  EXPECT_FALSE(AnyConnectionOpen());
}

TEST_F(ConnectionTableTest, TakeOverMovesTheBinding) {
  DeviceConnectionHandle oldHandle;
  const DeviceConnectionHandle newHandle;
  oldHandle.Connect(5);
  TakeOverConnection(newHandle, oldHandle);
  EXPECT_EQ(GetNativeHandle(newHandle), 5u);
  EXPECT_FALSE(oldHandle.IsConnected());
  // The disconnect of that native handle now ends the new identifier's connection.
  Publish<unsigned int>("common_evt_disconnect", 5u);
  EXPECT_FALSE(newHandle.IsConnected());
}

TEST_F(ConnectionTableTest, TakeOverFromUnconnectedHandleChangesNothing) {
  const DeviceConnectionHandle oldHandle;
  const DeviceConnectionHandle newHandle;
  TakeOverConnection(newHandle, oldHandle);
  EXPECT_FALSE(newHandle.IsConnected());
  EXPECT_FALSE(oldHandle.IsConnected());
  EXPECT_FALSE(AnyConnectionOpen());
}

TEST_F(ConnectionTableTest, TakeOverOntoConnectedHandleIsRejectedAndTableUnchanged) {
  DeviceConnectionHandle oldHandle;
  DeviceConnectionHandle newHandle;
  oldHandle.Connect(5);
  newHandle.Connect(6);
  int code = 0;
  EXPECT_EQ(ErrorText([&] { TakeOverConnection(newHandle, oldHandle); }, &code),
            "Handle already connected to Bluegiga handle, cannot connect to different handle");
  EXPECT_EQ(code, kErrorGeneral);
  EXPECT_EQ(GetNativeHandle(oldHandle), 5u);
  EXPECT_EQ(GetNativeHandle(newHandle), 6u);
}

TEST_F(ConnectionTableTest, ClearAllConnectionsEmptiesTheTable) {
  DeviceConnectionHandle first;
  DeviceConnectionHandle second;
  first.Connect(1);
  second.Connect(2);
  ClearAllConnections();
  EXPECT_FALSE(AnyConnectionOpen());
  EXPECT_FALSE(first.IsConnected());
  EXPECT_FALSE(second.IsConnected());
}

TEST_F(ConnectionTableTest, HandlesIssuedFromManyThreadsAreUnique) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 250;
  std::vector<std::vector<int64_t>> ids(kThreads);
  testing::OnThreads(kThreads, [&](int t) {
    for (int i = 0; i < kPerThread; ++i) {
      DeviceConnectionHandle handle;
      ids[t].push_back(handle.id());
      const auto native = static_cast<uint32_t>(t * kPerThread + i);
      handle.Connect(native);
      EXPECT_EQ(GetNativeHandle(handle), native);
      if (i % 2 == 0) {
        Publish<unsigned int>("common_evt_disconnect", native);
      } else {
        RemoveConnection(handle);
      }
      EXPECT_FALSE(handle.IsConnected());
    }
  });
  EXPECT_EQ(testing::DistinctCount(ids), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_FALSE(AnyConnectionOpen());
}

}  // namespace
}  // namespace lumen::details
